// The correction against the review of the same photo: a 600 x 800 and a 3000 x 4000 photo that
// the review rejects (the face off centre) and the correction mends, from the correctable
// sample. Each is held in memory, so that only the work is timed.
// Run: build/bin/vrel_bench_correct
#include "check/check_run.h"
#include "correct/correction.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

using namespace vrel;

const std::string kAppDir = VREL_APP_DIR "/";

CheckSettings Shipped() {
    return *ReadCheckSettingsFile(VREL_SOURCE_DIR "/data/setting.vr");
}

const std::vector<unsigned char>& Photo(int width) {
    static std::map<int, std::vector<unsigned char>> photos;
    auto& bytes = photos[width];
    if (bytes.empty()) {
        const cv::Mat sample = cv::imread(VREL_SOURCE_DIR "/samples/correctable/off-centre.png");
        cv::Mat photo;
        cv::resize(sample, photo, cv::Size(width, width * 4 / 3), 0, 0, cv::INTER_CUBIC);
        cv::imencode(".jpg", photo, bytes, {cv::IMWRITE_JPEG_QUALITY, 92});
    }
    return bytes;
}

ReviewOptions Batch() {
    ReviewOptions options;
    options.reuse_detector = true;
    options.reuse_buffers = true;
    return options;
}

void BM_Review(benchmark::State& state) {
    const auto& bytes = Photo(static_cast<int>(state.range(0)));
    PhotoReviewer reviewer(Shipped(), kAppDir, Batch());
    for (auto _ : state) {
        benchmark::DoNotOptimize(reviewer.ReviewBytes(bytes.data(), bytes.size()));
    }
}

void BM_Correct(benchmark::State& state) {
    const auto& bytes = Photo(static_cast<int>(state.range(0)));
    PhotoReviewer reviewer(Shipped(), kAppDir, Batch());
    const ReviewResult original = reviewer.ReviewBytes(bytes.data(), bytes.size());
    PhotoCorrector corrector(Shipped(), kAppDir);
    const Correction check = corrector.Correct(bytes.data(), bytes.size(), original);
    if (check.status != CorrectionStatus::Corrected) {
        state.SkipWithError(("not corrected: " + check.reason).c_str());
        return;
    }
    state.counters["rounds"] = check.rounds;
    for (auto _ : state) {
        benchmark::DoNotOptimize(corrector.Correct(bytes.data(), bytes.size(), original));
    }
}

BENCHMARK(BM_Review)->Arg(600)->Arg(3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Correct)->Arg(600)->Arg(3000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
