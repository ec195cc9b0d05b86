#include "fingerprint/fingerprint.h"

#include "check/check_run.h"
#include "check/jpeg_decode.h"
#include "correct/image_input.h"
#include "platform/files.h"

#include <nettle/sha2.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstring>

namespace vrel {
namespace {

// The picture is decoded reduced until its shorter side would fall under this.
constexpr int kHashSource = 64;

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * size, '0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 15];
    }
    return text;
}

std::optional<uint64_t> HashOfBytes(const std::vector<unsigned char>& bytes) {
    const auto info = SniffImage(bytes.data(), bytes.size());
    if (!info || info->DecodedPixels() > kMaxDecodedPixels) {
        return std::nullopt;
    }
    int denom = 1;
    while (denom < 8 && std::min(info->width, info->height) / (2 * denom) >= kHashSource) {
        denom *= 2;
    }
    const DecodedImage decoded = DecodeImage(bytes.data(), bytes.size(), *info, denom);
    if (decoded.image.empty() || decoded.damaged) {
        return std::nullopt;
    }
    return PerceptualHash(decoded.image);
}

// Reads the file through, hashing it; keeps its bytes where decode asks and they are few enough.
FileFingerprint ReadFingerprint(const std::string& path, bool decode) {
    FileFingerprint out;
    std::FILE* file = platform::OpenForReading(path);
    if (file == nullptr) {
        out.error = {errno == ENOENT ? ErrorCode::NotFound : ErrorCode::Unreadable,
                     "cannot open '" + path + "': " + std::strerror(errno)};
        return out;
    }
    out.modified_ns = platform::ModifiedTime(file);
    sha256_ctx sha;
    sha256_init(&sha);
    std::vector<unsigned char> bytes;
    bool keep = decode;
    std::array<unsigned char, 1 << 16> chunk;
    for (size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), file)) > 0;) {
        sha256_update(&sha, n, chunk.data());
        out.size += n;
        if (keep && out.size > kMaxBufferedFile) {
            keep = false;
            bytes = {};
        } else if (keep) {
            bytes.insert(bytes.end(), chunk.data(), chunk.data() + n);
        }
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return FileFingerprint{0,
                               0,
                               {},
                               std::nullopt,
                               {ErrorCode::Unreadable, "cannot read '" + path + "' to its end"}};
    }
    std::array<unsigned char, SHA256_DIGEST_SIZE> digest;
    sha256_digest(&sha, digest.size(), digest.data());
    out.sha256 = Hex(digest.data(), digest.size());
    if (keep) {
        out.phash = HashOfBytes(bytes);
    }
    return out;
}

} // namespace

std::string Sha256Hex(const unsigned char* data, size_t size) {
    sha256_ctx sha;
    sha256_init(&sha);
    sha256_update(&sha, size, data);
    std::array<unsigned char, SHA256_DIGEST_SIZE> digest;
    sha256_digest(&sha, digest.size(), digest.data());
    return Hex(digest.data(), digest.size());
}

uint64_t PerceptualHash(const cv::Mat& picture) {
    if (picture.empty()) {
        return 0;
    }
    cv::Mat grey = picture;
    if (picture.channels() == 3) {
        cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
    } else if (picture.channels() == 4) {
        cv::cvtColor(picture, grey, cv::COLOR_BGRA2GRAY);
    }
    cv::Mat small, levels, frequencies;
    cv::resize(grey, small, cv::Size(32, 32), 0, 0, cv::INTER_AREA);
    small.convertTo(levels, CV_32F);
    cv::dct(levels, frequencies);
    std::array<float, 64> low;
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            low[static_cast<size_t>(8 * y + x)] = frequencies.at<float>(y, x);
        }
    }
    // The median of all but the mean (the first), which only tells the brightness.
    std::array<float, 63> sorted;
    std::copy(low.begin() + 1, low.end(), sorted.begin());
    std::nth_element(sorted.begin(), sorted.begin() + 31, sorted.end());
    const float median = sorted[31];
    uint64_t hash = 0;
    for (size_t i = 1; i < low.size(); ++i) {
        hash |= (low[i] > median ? uint64_t{1} : 0) << i;
    }
    return hash;
}

int HashDistance(uint64_t a, uint64_t b) {
    return static_cast<int>(std::bitset<64>(a ^ b).count());
}

std::string HashHex(uint64_t hash) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::optional<uint64_t> ParseHashHex(const std::string& text) {
    if (text.size() != 16) {
        return std::nullopt;
    }
    uint64_t hash = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        hash = hash << 4 | static_cast<uint64_t>(digit);
    }
    return hash;
}

FileFingerprint FingerprintFile(const std::string& path) {
    return ReadFingerprint(path, true);
}

FileFingerprint FileIdentity(const std::string& path) {
    return ReadFingerprint(path, false);
}

} // namespace vrel
