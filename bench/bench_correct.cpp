// The correction against the review of the same photo: a 600 x 800 and a 3000 x 4000 photo that
// the review rejects (the face off centre) and the correction mends, from the correctable
// sample. Each is held in memory, so that only the work is timed.
//
// The backdrop replacement of the same photos (BM_Backdrop) on one thread, against one review of
// the same photo on one thread: its counter times_review is the replacement's time over the
// review's. BM_CorrectBackdrop does the same for the whole correction of a portrait in front of
// flags (tests/data/grace_hopper.jpg raised, cut to 3:4 and scaled), which ends with a new backdrop
// and a new framing; BM_CorrectExtend for a child in a room with too little room above the head,
// whose new backdrop is extended. BM_BackdropPeakMemory runs that correction at 3000 x 4000 in a
// fresh child process (this program with --backdrop-peak-child FILE) and reports the child's peak
// resident memory, decoding and the verifying review included. Run: build/bin/vrel_bench_correct
#include "check/check_run.h"
#include "check/face.h"
#include "correct/backdrop/backdrop.h"
#include "correct/correction.h"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

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

// The portrait in front of flags with its top row repeated 80 times above it (the flag's star
// beside the cap then does not touch the top edge), cut to 3:4, scaled to width x 4/3 width.
const std::vector<unsigned char>& FlagsPhoto(int width) {
    static std::map<int, std::vector<unsigned char>> photos;
    auto& bytes = photos[width];
    if (bytes.empty()) {
        const cv::Mat sample = cv::imread(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg");
        cv::Mat raised;
        cv::copyMakeBorder(sample, raised, 80, 0, 0, 0, cv::BORDER_REPLICATE);
        const int h = std::min(raised.rows, raised.cols * 4 / 3);
        const cv::Mat cut = raised(cv::Rect((raised.cols - h * 3 / 4) / 2, 0, h * 3 / 4, h));
        cv::Mat photo;
        cv::resize(cut, photo, cv::Size(width, width * 4 / 3), 0, 0, cv::INTER_CUBIC);
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
        state.SkipWithError(
            (std::string("not corrected: ") + CorrectionRuleName(check.rule)).c_str());
        return;
    }
    state.counters["rounds"] = check.rounds;
    for (auto _ : state) {
        benchmark::DoNotOptimize(corrector.Correct(bytes.data(), bytes.size(), original));
    }
}

const char* const kModel = VREL_APP_DIR "/models/selfie_segmentation.onnx";

// OpenCV on the calling thread only, as a worker runs it, for one benchmark.
struct OneThread {
    int previous = cv::getNumThreads();
    OneThread() { cv::setNumThreads(0); }
    ~OneThread() { cv::setNumThreads(previous); }
};

// The face box of a decoded photo, found on a copy of at most 800 pixels.
std::optional<cv::Rect> FaceOf(const cv::Mat& photo) {
    FaceDetector detector(kAppDir + kCascadeFileName);
    const double scale = std::min(1.0, 800.0 / std::max(photo.cols, photo.rows));
    cv::Mat copy;
    cv::resize(photo, copy, cv::Size(), scale, scale, cv::INTER_AREA);
    const std::vector<cv::Rect> faces = detector.Detect(copy, 3, cv::Size(30, 30));
    if (faces.size() != 1) {
        return std::nullopt;
    }
    const cv::Rect& f = faces.front();
    return cv::Rect(cvRound(f.x / scale), cvRound(f.y / scale), cvRound(f.width / scale),
                    cvRound(f.height / scale)) &
           cv::Rect(cv::Point(), photo.size());
}

double Milliseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void BM_Backdrop(benchmark::State& state) {
    OneThread one_thread;
    const auto& bytes = Photo(static_cast<int>(state.range(0)));
    const cv::Mat photo = cv::imdecode(bytes, cv::IMREAD_COLOR);
    const std::optional<cv::Rect> face = FaceOf(photo);
    Result<BackdropReplacer> replacer = BackdropReplacer::Load(kModel);
    if (!replacer || !face) {
        state.SkipWithError(replacer ? "no single face" : replacer.Err().Detail().c_str());
        return;
    }
    // One review of the same photo on one thread: the best of five.
    PhotoReviewer reviewer(Shipped(), kAppDir, Batch());
    double review_ms = 1e9;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(reviewer.ReviewBytes(bytes.data(), bytes.size()));
        review_ms = std::min(review_ms, Milliseconds(std::chrono::steady_clock::now() - start));
    }
    if (!replacer->Replace(photo, *face).Replaced()) {
        state.SkipWithError("the sample's backdrop was not replaced");
        return;
    }
    double total_ms = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(replacer->Replace(photo, *face));
        total_ms += Milliseconds(std::chrono::steady_clock::now() - start);
    }
    state.counters["review_ms"] = review_ms;
    state.counters["times_review"] = total_ms / static_cast<double>(state.iterations()) / review_ms;
}

bool WithBackdrop(const Correction& c) {
    return c.status == CorrectionStatus::Corrected &&
           std::find(c.steps.begin(), c.steps.end(), CorrectionStep::Backdrop) != c.steps.end();
}

bool Extended(const Correction& c) {
    return WithBackdrop(c) &&
           std::find(c.steps.begin(), c.steps.end(), CorrectionStep::Extend) != c.steps.end();
}

// One whole correction against one review of the same photo (and one with every test); the
// correction must come to what `done` asks.
void TimeCorrection(benchmark::State& state, const std::vector<unsigned char>& bytes,
                    bool (*done)(const Correction&)) {
    OneThread one_thread;
    PhotoReviewer reviewer(Shipped(), kAppDir, Batch());
    double review_ms = 1e9;
    ReviewResult original;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        original = reviewer.ReviewBytes(bytes.data(), bytes.size());
        review_ms = std::min(review_ms, Milliseconds(std::chrono::steady_clock::now() - start));
    }
    // The review stops at the backdrop test; the same photo reviewed with every test (every
    // backdrop accepted) costs what a photo that reaches the face tests costs.
    CheckSettings any_backdrop = Shipped();
    any_backdrop.s_min = 1.01f;
    any_backdrop.i_max = -0.01f;
    PhotoReviewer full_reviewer(any_backdrop, kAppDir, Batch());
    double full_ms = 1e9;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(full_reviewer.ReviewBytes(bytes.data(), bytes.size()));
        full_ms = std::min(full_ms, Milliseconds(std::chrono::steady_clock::now() - start));
    }
    PhotoCorrector corrector(Shipped(), kAppDir);
    const Correction check = corrector.Correct(bytes.data(), bytes.size(), original);
    if (!done(check)) {
        state.SkipWithError(
            (std::string("not corrected as planned: ") + CorrectionRuleName(check.rule)).c_str());
        return;
    }
    double total_ms = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(corrector.Correct(bytes.data(), bytes.size(), original));
        total_ms += Milliseconds(std::chrono::steady_clock::now() - start);
    }
    const double mean_ms = total_ms / static_cast<double>(state.iterations());
    state.counters["review_ms"] = review_ms;
    state.counters["times_review"] = mean_ms / review_ms;
    state.counters["full_review_ms"] = full_ms;
    state.counters["times_full_review"] = mean_ms / full_ms;
}

void BM_CorrectBackdrop(benchmark::State& state) {
    TimeCorrection(state, FlagsPhoto(static_cast<int>(state.range(0))), WithBackdrop);
}

// A child in a room cut just above her headband (tests/data/correction/room_tight_top.jpg),
// scaled to the width in its own proportions: a new backdrop, extended above.
void BM_CorrectExtend(benchmark::State& state) {
    static std::map<int, std::vector<unsigned char>> photos;
    const int width = static_cast<int>(state.range(0));
    auto& bytes = photos[width];
    if (bytes.empty()) {
        const cv::Mat room =
            cv::imread(VREL_SOURCE_DIR "/tests/data/correction/room_tight_top.jpg");
        cv::Mat photo;
        cv::resize(room, photo, cv::Size(width, width * room.rows / room.cols), 0, 0,
                   cv::INTER_CUBIC);
        cv::imencode(".jpg", photo, bytes, {cv::IMWRITE_JPEG_QUALITY, 92});
    }
    TimeCorrection(state, bytes, Extended);
}

// The child's part: review the file and correct it once, with a new backdrop.
int PeakChild(const char* path) {
    cv::setNumThreads(0);
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    PhotoReviewer reviewer(Shipped(), kAppDir);
    const ReviewResult original = reviewer.ReviewBytes(bytes.data(), bytes.size());
    PhotoCorrector corrector(Shipped(), kAppDir);
    if (corrector.SetupError()) {
        return 1;
    }
    return WithBackdrop(corrector.Correct(bytes.data(), bytes.size(), original)) ? 0 : 2;
}

std::string g_self; // this program, for the child (Linux: /proc/self/exe)

void BM_BackdropPeakMemory(benchmark::State& state) {
    const auto& bytes = FlagsPhoto(3000);
    char path[] = "/tmp/vrel-bench-backdrop-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        state.SkipWithError("cannot write the photo");
        return;
    }
    close(fd);
    long peak_kb = 0;
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            execl(g_self.c_str(), g_self.c_str(), "--backdrop-peak-child", path,
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            state.SkipWithError("the child did not correct the photo with a new backdrop");
            break;
        }
        peak_kb = std::max(peak_kb, usage.ru_maxrss);
    }
    unlink(path);
    state.counters["peak_MB"] = peak_kb / 1024.0;
}

BENCHMARK(BM_Review)->Arg(600)->Arg(3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Correct)->Arg(600)->Arg(3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Backdrop)->Arg(600)->Arg(3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorrectBackdrop)->Arg(600)->Arg(3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorrectExtend)->Arg(600)->Arg(3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BackdropPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--backdrop-peak-child") == 0) {
        return PeakChild(argv[2]);
    }
    g_self = "/proc/self/exe";
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
