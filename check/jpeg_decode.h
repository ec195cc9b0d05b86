#pragma once

#include "base/error.h"
#include "check/work_limit.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vrel {

// One JPEG decoding: the photo as the review sees it (8-bit blue-green-red, turned upright by
// the orientation of the first APP1 segment), and what the decoder noticed on its way.
struct JpegDecode {
    cv::Mat image; // empty when nothing could be decoded
    // The compressed data ended before the image was complete: the rest of the photo would be
    // made up (grey), so such a photo is damaged, not merely imperfect.
    bool damaged = false;
    // The decoder's other complaints ("Corrupt JPEG data: 3 extraneous bytes before marker
    // 0xd9"), each once, in the order they came; they do not keep the photo from being used.
    std::vector<std::string> warnings;
    Error error; // why nothing could be decoded
    int orientation = 1;
};

// The largest photo decoded at all, whatever the settings allow: a small file can declare a
// size that would take gigabytes.
inline constexpr int64_t kMaxDecodedPixels = int64_t{64} * 1000 * 1000;

// The most scans a progressive photo may have. libjpeg's progressive script, which encoders and
// image libraries use, writes 10 scans for colour and 6 for grey; hand-tuned scripts write a few
// more. Every scan is a pass over the whole photo, so a small file that repeats one scan
// thousands of times would hold a worker for minutes.
inline constexpr int kMaxJpegScans = 100;

// Decodes a JPEG from memory. scale_denom (1, 2, 4 or 8) reduces the photo in the DCT domain
// while decoding. Where target is the sole owner of pixels of the right size they are reused.
// The decoding stops, as undecodable, past kMaxJpegScans or when limit says so. Nothing is
// printed.
JpegDecode DecodeJpeg(const unsigned char* data, size_t size, int scale_denom = 1,
                      cv::Mat* target = nullptr, const WorkLimit* limit = nullptr);
// The same from an open file, read from its start.
JpegDecode DecodeJpegFile(std::FILE* file, int scale_denom = 1, const WorkLimit* limit = nullptr);

} // namespace vrel
