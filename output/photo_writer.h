#pragma once

#include "base/error.h"
#include "check/settings.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vrel {

enum class SaveStatus {
    Saved,
    TooLarge,    // still above the upper limit at the lowest quality
    WriteFailed, // the encoder or the file system failed
};

struct SaveOutcome {
    SaveStatus status = SaveStatus::WriteFailed;
    int quality = 0;   // the last quality the ladder used
    uint64_t size = 0; // bytes written, pass marker included
    Error error;       // what failed, for logs and reports; none when saved
};

// One JPEG encoding of the quality ladder.
struct LadderResult {
    SaveStatus status = SaveStatus::WriteFailed;
    int quality = 0;
    std::vector<unsigned char> jpeg; // the encoder's bytes, as they are
    Error error;
};

// Encodes a photo at one JPEG quality into out; false when the encoder fails.
using JpegEncoder = std::function<bool(int quality, std::vector<unsigned char>& out)>;

// Encodes at quality 85; while the encoding exceeds pic_out_max_size KB, again at 75 and 60;
// or, when the first encoding is below pic_out_min_size KB, once more at 95 (whatever size
// that gives).
LadderResult RunQualityLadder(const JpegEncoder& encoder, const CheckSettings& settings);
LadderResult EncodeWithinLimits(const cv::Mat& image, const CheckSettings& settings);

// The saved file's bytes: the encoding with its JFIF density set to 300 x 300 dots per inch
// and the pass marker appended. std::nullopt when the encoding does not start with a JFIF
// APP0 segment, whose density fields would otherwise be something else.
std::optional<std::vector<unsigned char>> MarkEncodedPhoto(std::vector<unsigned char> jpeg);

// Writes bytes to path through a temporary file in the same folder renamed over it, so a
// failure leaves no partial file and keeps an existing file as it was.
Error WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes);

// The bytes of a saved photo, made without touching the disk; bytes is empty unless the
// outcome is Saved.
struct PreparedPhoto {
    SaveOutcome outcome;
    std::vector<unsigned char> bytes;
};
PreparedPhoto PreparePassedPhoto(const cv::Mat& image, const CheckSettings& settings);

// Saves a passed photo as a JPEG within the output size limits, marked as passed. The file is
// a JPEG whatever extension the name has.
SaveOutcome SavePassedPhotoFile(const cv::Mat& image, const std::string& path,
                                const CheckSettings& settings);

} // namespace vrel
