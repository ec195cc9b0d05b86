// --fast-decode against the exact review: the time per phone-sized photo, and how often the two
// agree.
//   build/bin/vrel_bench_fast_decode                 time per 3000 x 4000 and 4000 x 6000 photo
//   build/bin/vrel_bench_fast_decode --agreement     verdicts of both modes on every photo of the
//                                                    samples, the test photographs and a folder of
//                                                    phone-sized portraits; each disagreement
//                                                    listed
#include "check/check_run.h"
#include "report/report.h"
#include "scenes/portraits.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <tuple>

namespace {

using namespace vrel;
namespace fs = std::filesystem;

const std::string kAppDir = VREL_APP_DIR "/";

CheckSettings Shipped() {
    return *ReadCheckSettingsFile(VREL_SOURCE_DIR "/data/setting.vr");
}

ReviewOptions Options(bool fast) {
    ReviewOptions o;
    o.reuse_detector = true;
    o.reuse_buffers = true;
    o.fast_decode = fast;
    return o;
}

// A phone-sized portrait: the passing white-backdrop sample scaled up; with noise, with the grain
// of a camera's sensor, which makes the file three to four times as large (a phone's 3 to 5 MB).
const std::vector<unsigned char>& Phone(int width, int height, bool noise) {
    static std::map<std::tuple<int, int, bool>, std::vector<unsigned char>> photos;
    auto& bytes = photos[{width, height, noise}];
    if (bytes.empty()) {
        const cv::Mat sample = cv::imread(VREL_SOURCE_DIR "/samples/passed-white-1200x1600.jpg");
        cv::Mat photo;
        cv::resize(sample, photo, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
        if (noise) {
            cv::Mat grain(photo.size(), CV_16SC3);
            cv::randn(grain, 0, 6);
            photo.convertTo(photo, CV_16SC3);
            photo += grain;
            photo.convertTo(photo, CV_8UC3);
        }
        cv::imencode(".jpg", photo, bytes, {cv::IMWRITE_JPEG_QUALITY, 92});
    }
    return bytes;
}

// Reviews as the batch does (kept buffers), or as a single review does (fresh ones).
void BM_Review(benchmark::State& state, bool fast) {
    const auto& bytes = Phone(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                              state.range(2) != 0);
    ReviewOptions options = Options(fast);
    options.reuse_buffers = state.range(3) != 0;
    PhotoReviewer reviewer(Shipped(), kAppDir, options);
    for (auto _ : state) {
        benchmark::DoNotOptimize(reviewer.ReviewBytes(bytes.data(), bytes.size()));
    }
    state.counters["MB"] = bytes.size() / 1e6;
}
void BM_Exact(benchmark::State& state) {
    BM_Review(state, false);
}
void BM_Fast(benchmark::State& state) {
    BM_Review(state, true);
}
// Width, height, sensor grain, kept buffers.
#define VREL_PHONE_ARGS                                                                            \
    ArgNames({"w", "h", "grain", "kept"})                                                          \
        ->ArgsProduct({{3000}, {4000}, {0, 1}, {0, 1}})                                            \
        ->ArgsProduct({{4000}, {6000}, {0, 1}, {0, 1}})                                            \
        ->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Exact)->VREL_PHONE_ARGS;
BENCHMARK(BM_Fast)->VREL_PHONE_ARGS;

// How the phone photos of a folder are framed: the face's share of the photo's width, and how far
// the portrait is moved sideways and up or down, each drawn evenly from its range.
struct Framings {
    const char* name;
    double share_low, share_high;
    double offset;              // sideways, as a share of the width, either way
    double drop_low, drop_high; // how much of the portrait shows above the bottom edge
};

// Phone-sized photos of the real portrait before a plain light wall.
std::vector<std::string> PhoneFolder(const fs::path& dir, int count, const Framings& f) {
    fs::create_directories(dir);
    std::mt19937 random(2026);
    auto uniform = [&](double low, double high) {
        return low + (high - low) * (random() % 10000) / 10000.0;
    };
    std::vector<std::string> files;
    const cv::Size sizes[] = {{3000, 4000}, {3024, 4032}, {4000, 6000}, {2448, 3264}};
    for (int i = 0; i < count; ++i) {
        const cv::Size size = sizes[i % 4];
        // The portrait's face is 229 of its 512 pixels wide.
        const double scale = uniform(f.share_low, f.share_high) * size.width / 229.0;
        const int width = static_cast<int>(512 * scale);
        const int x =
            static_cast<int>((size.width - width) / 2 + uniform(-f.offset, f.offset) * size.width);
        const int y =
            static_cast<int>(size.height - 600 * scale * uniform(f.drop_low, f.drop_high));
        char name[32];
        std::snprintf(name, sizeof name, "phone-%03d.jpg", i);
        files.push_back((dir / name).string());
        cv::imwrite(files.back(), test::OnCanvas(size, scale, {x, y}),
                    {cv::IMWRITE_JPEG_QUALITY, 90});
    }
    return files;
}

// Both modes on each file; prints every disagreement with its measures and returns how many
// agree.
size_t Compare(const std::vector<std::string>& files, const char* what) {
    PhotoReviewer exact(Shipped(), kAppDir, Options(false));
    PhotoReviewer fast(Shipped(), kAppDir, Options(true));
    size_t agree = 0;
    std::map<CheckVerdict, int> verdicts;
    const auto measures = [](const ReviewResult& r) {
        auto j = RecordToJson(MakeRecord("", r, Shipped()));
        for (const char* key : {"path", "reason", "why", "info", "tip", "marked"}) {
            j.erase(key);
        }
        return j.dump();
    };
    for (const std::string& file : files) {
        const ReviewResult a = exact.Review(file);
        const ReviewResult b = fast.Review(file);
        ++verdicts[a.verdict];
        if (a.verdict == b.verdict) {
            ++agree;
            continue;
        }
        std::printf("  differs: %s\n    exact %s\n    fast  %s\n", file.c_str(),
                    measures(a).c_str(), measures(b).c_str());
    }
    std::printf("%s: %zu photos, %zu agree (%.1f %%); exact verdicts:", what, files.size(), agree,
                100.0 * agree / files.size());
    for (const auto& [verdict, count] : verdicts) {
        std::printf(" %s %d", VerdictName(verdict), count);
    }
    std::printf("\n\n");
    return agree;
}

int Agreement() {
    std::vector<std::string> corpus;
    for (const char* dir : {VREL_SOURCE_DIR "/samples", VREL_SOURCE_DIR "/samples/correctable",
                            VREL_SOURCE_DIR "/tests/data"}) {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file()) {
                corpus.push_back(entry.path().string());
            }
        }
    }
    std::sort(corpus.begin(), corpus.end());
    size_t photos = corpus.size();
    size_t agree = Compare(corpus, "samples and test photographs");

    const fs::path folder = fs::temp_directory_path() / "vrel-fast-decode-agreement";
    // Head-and-shoulders photos as most applicants take them, and photos spread over every
    // framing from far too small to far too large, off centre, high and low.
    const Framings sets[] = {{"head-and-shoulders phone photos", 0.3, 0.45, 0.04, 0.85, 1.0},
                             {"every framing", 0.2, 0.5, 0.08, 0.75, 1.05}};
    for (const Framings& set : sets) {
        fs::remove_all(folder);
        const auto files = PhoneFolder(folder, 200, set);
        agree += Compare(files, set.name);
        photos += files.size();
    }
    fs::remove_all(folder);
    std::printf("all: %zu photos, %.1f %% agree\n", photos, 100.0 * agree / photos);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--agreement") == 0) {
        return Agreement();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
