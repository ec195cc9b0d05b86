// Batch throughput against the floor (decode + resize + grey + equalise + detection alone) and
// against the review done step by step (whole-photo conversions, detector read per photo),
// on folders of photos made from a real portrait. Run: build/bin/vrel_bench_batch
#include "check/check_run.h"
#include "check/face.h"
#include "cli/batch.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <map>

namespace {

using namespace vrel;

const std::string kAppDir = VREL_APP_DIR "/";
constexpr int kPhotosPerSize = 16;
// Each measured run reviews the photos this many times over, as one list, so that what a
// batch does once (starting workers, reading the detector) weighs as little as in a real one.
constexpr int kRounds = 16;

CheckSettings Shipped() {
    return *ReadCheckSettingsFile(VREL_SOURCE_DIR "/data/setting.vr");
}

// kPhotosPerSize passing portraits of one size, each framed a little differently.
const std::vector<std::string>& Files(int width, int height) {
    static std::map<int, std::vector<std::string>> folders;
    auto& files = folders[width];
    if (files.empty()) {
        const cv::Mat source = cv::imread(VREL_SOURCE_DIR "/samples/passed-white-1200x1600.jpg");
        const auto dir =
            std::filesystem::temp_directory_path() / ("vrel-bench-batch-" + std::to_string(width));
        std::filesystem::create_directories(dir);
        for (int i = 0; i < kPhotosPerSize; ++i) {
            const cv::Rect crop(i * 2, i * 3, source.cols - 32, source.rows - 48);
            cv::Mat photo;
            cv::resize(source(crop), photo, cv::Size(width, height), 0, 0, cv::INTER_AREA);
            files.push_back((dir / ("photo-" + std::to_string(i) + ".jpg")).string());
            cv::imwrite(files.back(), photo, {cv::IMWRITE_JPEG_QUALITY, 90});
        }
    }
    return files;
}

std::vector<std::string> Photos(int width, int height) {
    std::vector<std::string> list;
    for (int round = 0; round < kRounds; ++round) {
        const auto& files = Files(width, height);
        list.insert(list.end(), files.begin(), files.end());
    }
    return list;
}

struct SingleThreaded {
    SingleThreaded() : previous(cv::getNumThreads()) { cv::setNumThreads(0); }
    ~SingleThreaded() { cv::setNumThreads(previous); }
    int previous;
};

void BM_Floor(benchmark::State& state) {
    const auto files = Photos(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    SingleThreaded single;
    const CheckSettings s = Shipped();
    FaceDetector detector(kAppDir + kCascadeFileName);
    for (auto _ : state) {
        for (const std::string& path : files) {
            const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
            cv::Mat work;
            cv::resize(photo, work, cv::Size(s.dst_width, s.dst_height), 0, 0, cv::INTER_LINEAR);
            benchmark::DoNotOptimize(detector.Detect(work, s).size());
        }
    }
    state.SetItemsProcessed(state.iterations() * kPhotosPerSize * kRounds);
}

void BM_StepByStep(benchmark::State& state) {
    const auto files = Photos(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    SingleThreaded single;
    ReviewOptions options;
    options.whole_image_conversions = true;
    PhotoReviewer reviewer(Shipped(), kAppDir, options);
    for (auto _ : state) {
        for (const std::string& path : files) {
            if (reviewer.Review(path).verdict != CheckVerdict::Passed) {
                state.SkipWithError("a benchmark photo did not pass");
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kPhotosPerSize * kRounds);
}

void BM_Batch(benchmark::State& state) {
    const auto files = Photos(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    BatchOptions opts;
    opts.check = Shipped();
    opts.data_dir = kAppDir;
    opts.jobs = static_cast<int>(state.range(2));
    // The fourth argument: 1 makes the pictures of a report folder (thumbnails, explanations);
    // the fifth: 1 reads each file's size, time, SHA-256 and perceptual hash, as vrel-check does.
    opts.report_pictures = state.range(3) != 0;
    opts.fingerprints = state.range(4) != 0;
    // The sixth: 1 takes the face networks' measures, as vrel-check does.
    opts.landmarks = state.range(5) != 0;
    // Photos under the pixel sizes are rejected at their headers: what a report then costs is
    // a thumbnail decoded from the file.
    const bool too_small = state.range(1) < opts.check.min_height;
    for (auto _ : state) {
        // The batch as vrel-check runs it: the detector is read once per worker and run.
        ListSource source(files);
        const BatchSummary summary =
            RunBatch(source, opts, [](const PhotoRecord&, const ReportPictures&) {});
        if (summary.AllPassed() == too_small) {
            state.SkipWithError("a benchmark photo did not come to its verdict");
        }
    }
    state.SetItemsProcessed(state.iterations() * kPhotosPerSize * kRounds);
}

#define SIZES Args({600, 800})->Args({1200, 1600})->Args({3000, 4000})
BENCHMARK(BM_Floor)->SIZES->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StepByStep)->SIZES->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Batch)
    ->Args({600, 800, 1, 0, 0, 1})
    ->Args({600, 800, 1, 0, 1, 1})
    ->Args({600, 800, 1, 0, 1, 0})
    ->Args({600, 800, 1, 1, 1, 1})
    ->Args({600, 800, 2, 0, 1, 1})
    ->Args({600, 800, 2, 0, 1, 0})
    ->Args({600, 800, 2, 1, 1, 1})
    ->Args({512, 600, 1, 0, 0, 1})
    ->Args({512, 600, 1, 1, 0, 1})
    ->Args({512, 600, 1, 1, 1, 1})
    ->Args({1200, 1600, 1, 0, 1, 1})
    ->Args({1200, 1600, 2, 0, 1, 1})
    ->Args({3000, 4000, 1, 0, 0, 1})
    ->Args({3000, 4000, 1, 0, 1, 1})
    ->Args({3000, 4000, 1, 1, 1, 1})
    ->Args({3000, 4000, 2, 0, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
