#pragma once

// What tells one photo file from another: its size, the time it was last changed and the
// SHA-256 of its bytes (has it changed since it was reviewed?), and a perceptual hash of its
// picture (is it the same photo as another, re-saved, resized or slightly cropped?).

#include "base/error.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vrel {

// The SHA-256 of bytes, as 64 lowercase hexadecimal digits.
std::string Sha256Hex(const unsigned char* data, size_t size);
inline std::string Sha256Hex(const std::vector<unsigned char>& bytes) {
    return Sha256Hex(bytes.data(), bytes.size());
}

// A 64-bit DCT hash of a picture (blue-green-red or grey): the signs of its 8 x 8 lowest
// frequencies against their median, on the picture shrunk to 32 x 32 grey levels. Re-encoding,
// resizing, a change of brightness and a small crop change few of its bits; another photo
// changes about half.
uint64_t PerceptualHash(const cv::Mat& picture);
// How many bits two hashes differ in.
int HashDistance(uint64_t a, uint64_t b);
// A hash as 16 hexadecimal digits, and back (std::nullopt for anything else).
std::string HashHex(uint64_t hash);
std::optional<uint64_t> ParseHashHex(const std::string& text);

struct FileFingerprint {
    uint64_t size = 0;
    int64_t modified_ns = 0;       // when the file was last changed
    std::string sha256;            // of the whole file
    std::optional<uint64_t> phash; // of its picture, upright, where a decoder reads it
    Error error;                   // why the file could not be read (then nothing else is set)
};

// Reads the file once: its size, time and SHA-256, and the perceptual hash of its picture,
// decoded reduced (a JPEG in the DCT domain) by any decoder the correction has.
FileFingerprint FingerprintFile(const std::string& path);
// Size, time and SHA-256 only, without decoding.
FileFingerprint FileIdentity(const std::string& path);

} // namespace vrel
