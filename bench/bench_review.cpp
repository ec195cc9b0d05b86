// Time per stage of one review, and per whole review, on photos made from a real portrait.
// Run: build/bin/vrel_bench
#include "check/background.h"
#include "check/check_run.h"
#include "check/face.h"
#include "check/hsi.h"
#include "output/photo_writer.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <filesystem>
#include <map>

namespace {

using namespace vrel;

const std::string kAppDir = VREL_APP_DIR "/";

CheckSettings Shipped() {
    return *ReadCheckSettingsFile(VREL_SOURCE_DIR "/data/setting.vr");
}

// A passing portrait at the given size, written once to a temporary file.
const std::string& PhotoFile(int width, int height) {
    static std::map<std::pair<int, int>, std::string> files;
    auto& path = files[{width, height}];
    if (path.empty()) {
        const cv::Mat source = cv::imread(VREL_SOURCE_DIR "/samples/passed-white-1200x1600.jpg");
        cv::Mat photo;
        cv::resize(source, photo, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
        path = (std::filesystem::temp_directory_path() /
                ("vrel-bench-" + std::to_string(width) + "x" + std::to_string(height) + ".jpg"))
                   .string();
        cv::imwrite(path, photo, {cv::IMWRITE_JPEG_QUALITY, 90});
    }
    return path;
}

cv::Mat Normalised(int width, int height) {
    cv::Mat photo = cv::imread(PhotoFile(width, height));
    cv::Mat work;
    cv::resize(photo, work, cv::Size(480, 640), 0, 0, cv::INTER_LINEAR);
    return work;
}

void BM_ByteTests(benchmark::State& state) {
    const std::string& path =
        PhotoFile(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        unsigned char head[2], tail[16];
        benchmark::DoNotOptimize(std::fread(head, 1, 2, f));
        std::fseek(f, -16, SEEK_END);
        benchmark::DoNotOptimize(std::fread(tail, 1, 16, f));
        std::fclose(f);
    }
}

void BM_Decode(benchmark::State& state) {
    const std::string& path =
        PhotoFile(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(cv::imread(path, cv::IMREAD_COLOR));
    }
}

void BM_Resize(benchmark::State& state) {
    const cv::Mat photo =
        cv::imread(PhotoFile(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))));
    cv::Mat work;
    for (auto _ : state) {
        cv::resize(photo, work, cv::Size(480, 640), 0, 0, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(work.data);
    }
}

void BM_HsiWholePhoto(benchmark::State& state) {
    const cv::Mat work = Normalised(600, 800);
    for (auto _ : state) {
        cv::Mat hsi(work.size(), CV_8UC3);
        ConvertToHsi(work, hsi);
        benchmark::DoNotOptimize(hsi.data);
    }
}

void BM_HsvWholePhoto(benchmark::State& state) {
    const cv::Mat work = Normalised(600, 800);
    for (auto _ : state) {
        cv::Mat hsv;
        cv::cvtColor(work, hsv, cv::COLOR_RGB2HSV);
        benchmark::DoNotOptimize(hsv.data);
    }
}

void BM_BackgroundCheck(benchmark::State& state) {
    const cv::Mat work = Normalised(600, 800);
    const CheckSettings s = Shipped();
    for (auto _ : state) {
        benchmark::DoNotOptimize(CheckBackground(work, s).passed);
    }
}

void BM_CascadeLoad(benchmark::State& state) {
    for (auto _ : state) {
        FaceDetector detector(kAppDir + kCascadeFileName);
        benchmark::DoNotOptimize(detector.Loaded());
    }
}

void BM_Detection(benchmark::State& state) {
    const cv::Mat work = Normalised(600, 800);
    const CheckSettings s = Shipped();
    FaceDetector detector(kAppDir + kCascadeFileName);
    for (auto _ : state) {
        benchmark::DoNotOptimize(detector.Detect(work, s).size());
    }
}

void BM_WholeReview(benchmark::State& state) {
    const std::string& path =
        PhotoFile(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    ReviewOptions options;
    options.reuse_detector = state.range(2) != 0;
    options.advise = state.range(3) != 0;
    options.landmarks = state.range(4) != 0;
    PhotoReviewer reviewer(Shipped(), kAppDir, options);
    for (auto _ : state) {
        const ReviewResult r = reviewer.Review(path);
        if (r.verdict != CheckVerdict::Passed) {
            state.SkipWithError("the benchmark photo did not pass");
            break;
        }
    }
}

void BM_Save480x640(benchmark::State& state) {
    const cv::Mat work = Normalised(600, 800);
    const CheckSettings s = Shipped();
    const std::string path =
        (std::filesystem::temp_directory_path() / "vrel-bench-saved.jpg").string();
    for (auto _ : state) {
        const SaveOutcome out = SavePassedPhotoFile(work, path, s);
        benchmark::DoNotOptimize(out.size);
    }
    std::filesystem::remove(path);
}

#define SIZES Args({600, 800})->Args({1200, 1600})->Args({3000, 4000})
BENCHMARK(BM_ByteTests)->SIZES->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode)->SIZES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Resize)->SIZES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HsiWholePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HsvWholePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BackgroundCheck)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CascadeLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Detection)->Unit(benchmark::kMillisecond);
// Third argument: 1 keeps the detector between reviews, 0 loads it for each review. Fourth: 1
// looks for the quality advisories (as every front end does), 0 does not.
BENCHMARK(BM_WholeReview)
    // width, height, detector kept, advisories, landmark measures
    ->Args({600, 800, 0, 1, 1})
    ->Args({600, 800, 1, 0, 0})
    ->Args({600, 800, 1, 1, 0})
    ->Args({600, 800, 1, 1, 1})
    ->Args({1200, 1600, 0, 1, 1})
    ->Args({1200, 1600, 1, 1, 0})
    ->Args({1200, 1600, 1, 1, 1})
    ->Args({3000, 4000, 0, 1, 1})
    ->Args({3000, 4000, 1, 0, 0})
    ->Args({3000, 4000, 1, 1, 0})
    ->Args({3000, 4000, 1, 1, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Save480x640)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
