// The peak memory a review and a correction take per decoded pixel, by format: what the
// service's budget charges (serve/pixel_budget.h). Each measure runs in a fresh child process
// that reads the photo, sets up its tools, then resets its peak and runs the work once; the
// growth of its peak over what it held before, over the photo's pixels, is the figure.
// Run: build/bin/vrel_bench_memory [WIDTH]   (default 4800: a 4800 x 6400 photo, 30.7 MP)
#include "check/check_run.h"
#include "correct/correction.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

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
    std::printf("%-6s %10s %10s\n", "format", "review", "correct");
    for (const char* ext : {".jpg", ".png", ".webp", ".tiff", ".bmp"}) {
        const std::string path = std::string("/tmp/vrel-bench-memory") + ext;
        cv::imwrite(path, photo, {cv::IMWRITE_JPEG_QUALITY, 92, cv::IMWRITE_WEBP_QUALITY, 90});
        std::printf("%-6s", ext + 1);
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
        std::printf("\n");
        std::remove(path.c_str());
    }
    return 0;
}
