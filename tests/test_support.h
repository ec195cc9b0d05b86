#pragma once

#include "check/settings.h"
#include "scenes/portraits.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace vrel::test {

using Bytes = std::vector<unsigned char>;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vrel-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes EncodeJpeg(const cv::Mat& image, int quality = 90) {
    Bytes out;
    cv::imencode(".jpg", image, out, {cv::IMWRITE_JPEG_QUALITY, quality});
    return out;
}

// Inserts a marker segment right after the JFIF segment that follows the start of image.
inline Bytes InsertAfterJfif(Bytes jpeg, const Bytes& segment) {
    const size_t after_app0 = 4 + ((jpeg[4] << 8) | jpeg[5]);
    jpeg.insert(jpeg.begin() + static_cast<long>(after_app0), segment.begin(), segment.end());
    return jpeg;
}

// An APP1 Exif segment holding only the orientation tag, in either byte order.
inline Bytes ExifOrientation(int orientation, bool little_endian = false) {
    const auto o = static_cast<unsigned char>(orientation);
    if (little_endian) {
        return {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 0x2A, 0, 8, 0, 0, 0,
                1,    0,    0x12, 0x01, 3,   0,   1,   0,   0, 0, o,   0,   0,    0, 0, 0, 0, 0};
    }
    return {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 0x2A, 0, 0, 0, 8,
            0,    1,    0x01, 0x12, 0,   3,   0,   0,   0, 1, 0,   o,   0, 0,    0, 0, 0, 0};
}

// The JPEG with its frame header declaring another size, its data unchanged.
inline Bytes DeclaringSize(Bytes jpeg, int width, int height) {
    for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = static_cast<unsigned char>(height >> 8);
            jpeg[i + 6] = static_cast<unsigned char>(height & 0xFF);
            jpeg[i + 7] = static_cast<unsigned char>(width >> 8);
            jpeg[i + 8] = static_cast<unsigned char>(width & 0xFF);
            break;
        }
    }
    return jpeg;
}

// A progressive JPEG whose last scan is repeated `repeats` more times: a decoder takes each
// repetition as one more pass over the whole photo (and warns of a bogus progression).
inline Bytes WithRepeatedScans(const cv::Mat& image, int repeats, int quality = 90) {
    Bytes jpeg;
    cv::imencode(".jpg", image, jpeg,
                 {cv::IMWRITE_JPEG_QUALITY, quality, cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    size_t last_scan = 0;
    for (size_t i = 2; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
            last_scan = i;
        }
    }
    const Bytes scan(jpeg.begin() + static_cast<long>(last_scan), jpeg.end() - 2); // before EOI
    Bytes out(jpeg.begin(), jpeg.end() - 2);
    for (int i = 0; i < repeats; ++i) {
        out.insert(out.end(), scan.begin(), scan.end());
    }
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

// The names of a folder's entries, sorted.
inline std::vector<std::string> FileNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// One JSON object per line, each parsed (a line that is not JSON throws).
inline std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

// The settings shipped in data/setting.vr.
inline CheckSettings ShippedSettings() {
    auto s = ReadCheckSettingsFile(VREL_SOURCE_DIR "/data/setting.vr");
    return s ? *s : CheckSettings{};
}

inline std::string AppDataDir() {
    return VREL_APP_DIR "/";
}
inline std::string SamplePath(const std::string& name) {
    return VREL_SOURCE_DIR "/samples/" + name;
}

} // namespace vrel::test
