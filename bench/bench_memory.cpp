// The peak memory a review and a correction take per decoded pixel, by format: what the
// service's budget charges (serve/pixel_budget.h). Each measure runs in a fresh child process
// that reads the photo, sets up its tools, then resets its peak and runs the work once; the
// growth of its peak over what it held before, over the photo's pixels, is the figure. The
// decode column is the time the correction's decoder takes alone, in this process.
// Run: build/bin/vrel_bench_memory [WIDTH]   (default 4800: a 4800 x 6400 photo, 30.7 MP)
#include "check/check_run.h"
#include "correct/correction.h"
#include "correct/image_input.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <tiffio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace vrel;

const std::string kAppDir = VREL_APP_DIR "/";

// A status field of this process in kB (VmRSS, VmHWM).
long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(field) + 1);
        }
    }
    return -1;
}

int Child(const std::string& route, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    const CheckSettings settings = *ReadCheckSettingsFile(VREL_SOURCE_DIR "/data/setting.vr");
    ReviewOptions options;
    options.reuse_detector = true;
    options.reuse_buffers = true;
    options.ignore_marker = true;
    cv::setNumThreads(0);
    PhotoReviewer reviewer(settings, kAppDir, options);
    PhotoCorrector corrector(settings, kAppDir);
    const long before = StatusKb("VmRSS:");
    std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts again from here
    const ReviewResult review = reviewer.ReviewBytes(bytes.data(), bytes.size());
    if (route == "correct") {
        const Correction c = corrector.Correct(bytes.data(), bytes.size(), review);
        if (c.status == CorrectionStatus::Refused) {
            std::fprintf(stderr, "the correction refused the photo\n");
        }
    }
    std::printf("%ld\n", StatusKb("VmHWM:") - before);
    return 0;
}

// The photo as one LZW strip, as some editors save a TIFF: its decoder cannot stop inside a
// strip.
void WriteOneStripTiff(const cv::Mat& bgr, const std::string& path) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(bgr.cols));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(bgr.rows));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(bgr.rows));
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    for (int y = 0; y < rgb.rows; ++y) {
        TIFFWriteScanline(tiff, rgb.ptr(y), static_cast<uint32_t>(y), 0);
    }
    TIFFClose(tiff);
}

double DecodeSeconds(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    const auto info = SniffImage(bytes.data(), bytes.size());
    if (!info) {
        return -1;
    }
    const auto start = std::chrono::steady_clock::now();
    const DecodedImage decoded = DecodeImage(bytes.data(), bytes.size(), *info, 1);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return decoded.image.empty() ? -1 : took.count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        return Child(argv[2], argv[3]);
    }
    const int width = argc > 1 ? std::atoi(argv[1]) : 4800;
    char exe[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string self = n > 0 ? std::string(exe, static_cast<size_t>(n)) : argv[0];
    const cv::Mat sample = cv::imread(VREL_SOURCE_DIR "/samples/correctable/off-centre.png");
    cv::Mat photo;
    cv::resize(sample, photo, cv::Size(width, width * 4 / 3), 0, 0, cv::INTER_CUBIC);
    const double pixels = static_cast<double>(photo.total());
    std::printf("%d x %d (%.1f MP): peak growth in bytes per decoded pixel\n", photo.cols,
                photo.rows, pixels / 1e6);
    std::printf("%-10s %10s %10s %10s\n", "format", "review", "correct", "decode s");
    for (const char* name : {"jpg", "png", "webp", "tiff", "tiff-strip", "bmp"}) {
        const bool strip = std::strcmp(name, "tiff-strip") == 0;
        const std::string path = std::string("/tmp/vrel-bench-memory.") + (strip ? "tif" : name);
        if (strip) {
            WriteOneStripTiff(photo, path);
        } else {
            cv::imwrite(path, photo, {cv::IMWRITE_JPEG_QUALITY, 92, cv::IMWRITE_WEBP_QUALITY, 90});
        }
        std::printf("%-10s", name);
        for (const char* route : {"review", "correct"}) {
            const std::string command = self + " --child " + route + " " + path;
            FILE* child = popen(command.c_str(), "r");
            long kb = -1;
            if (child == nullptr || std::fscanf(child, "%ld", &kb) != 1) {
                kb = -1;
            }
            if (child != nullptr) {
                pclose(child);
            }
            std::printf(" %10.1f", kb * 1024.0 / pixels);
        }
        std::printf(" %10.2f\n", DecodeSeconds(path));
        std::remove(path.c_str());
    }
    return 0;
}
