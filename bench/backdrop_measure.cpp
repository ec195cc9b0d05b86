// Measures the backdrop replacement on photos: for each, the time of one replacement on one
// thread, the numbers of its checks and its refusal, and the composite and alpha as PNG files to
// look at. The checks' bounds and the matte's options were chosen with it.
//
// Run: build/bin/vrel_backdrop_measure [--out DIR] [--colour B,G,R] [--work N] [--grabcut N]
//        [--iterations N] [--radius R] [--eps E] [--low L] [--high H] PHOTO...
#include "check/face.h"
#include "correct/backdrop/backdrop.h"
#include "correct/backdrop/guided_filter.h"

#include "scenes/backdrop_scenes.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace vrel;

// The largest face the cascade finds on a copy of at most 800 pixels, in the photo's pixels.
std::optional<cv::Rect> LargestFace(const cv::Mat& photo, FaceDetector& detector) {
    const double scale = std::min(1.0, 800.0 / std::max(photo.cols, photo.rows));
    cv::Mat copy;
    cv::resize(photo, copy, cv::Size(), scale, scale, cv::INTER_AREA);
    std::vector<cv::Rect> faces = detector.Detect(copy, 3, cv::Size(30, 30));
    if (faces.empty()) {
        return std::nullopt;
    }
    const cv::Rect f = *std::max_element(faces.begin(), faces.end(),
                                         [](auto& a, auto& b) { return a.area() < b.area(); });
    return cv::Rect(cvRound(f.x / scale), cvRound(f.y / scale), cvRound(f.width / scale),
                    cvRound(f.height / scale)) &
           cv::Rect(cv::Point(), photo.size());
}

// Cuts the person out of tests/data/grace_hopper.jpg once, for the scenes with a known matte:
// GrabCut at full size with ten iterations, seeded from the network's mask and from what is
// surely backdrop in this photo (the flag's pole and stars above the cap, the flag beside the
// left shoulder), then a guided filter of radius 2 for the edge's own blur. Looked at, then
// kept as tests/data/grace_hopper_matte.png.
int MakeSubjectMatte(const std::string& out_path) {
    const cv::Mat photo = cv::imread(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg");
    Result<PersonSegmenter> segmenter =
        PersonSegmenter::Load(VREL_APP_DIR "/models/selfie_segmentation.onnx");
    if (photo.empty() || !segmenter) {
        std::fprintf(stderr, "cannot make the matte: %s\n", segmenter.Err().Detail().c_str());
        return 1;
    }
    const cv::Rect inner = InnerFace(cv::Rect(149, 102, 229, 229));
    cv::Mat labels = SeedLabels(segmenter->Probability(photo), photo.size(), inner);
    const std::vector<std::vector<cv::Point>> backdrop = {
        {{0, 0}, {511, 0}, {511, 18}, {0, 18}},               // above the cap
        {{190, 0}, {242, 0}, {242, 34}, {190, 34}},           // the star beside the cap's top
        {{0, 0}, {168, 0}, {168, 60}, {150, 330}, {0, 340}},  // the flag and its poles
        {{0, 340}, {24, 345}, {20, 420}, {6, 599}, {0, 599}}, // the flag beside the shoulder
        {{160, 298}, {195, 300}, {199, 316}, {160, 330}},     // its tassel beside the neck
    };
    for (const auto& polygon : backdrop) {
        cv::fillPoly(labels, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(cv::GC_BGD));
    }
    const cv::Mat region = PersonRegion(photo, labels, 10, inner);
    MatteOptions options;
    options.filter_radius = 2.0 / 600;
    options.filter_eps = 1e-3;
    options.alpha_low = 0.2; // half a pixel in: the edge's own blur carries the flag's colours
    options.alpha_high = 1;
    const cv::Mat alpha = ApplyGuidedCoefficients(MatteCoefficients(photo, region, options), photo);
    cv::Mat matte;
    alpha.convertTo(matte, CV_8U, 255);
    cv::imwrite(out_path, matte);
    return 0;
}

struct Scene {
    std::string name;
    cv::Mat photo;
    test::Subject truth;
};

// The known-matte scenes at one size: the subject filling the width at the bottom, on walls of
// every kind; and laid out wrongly, floating and cut at the top.
std::vector<Scene> Scenes(cv::Size size) {
    std::vector<Scene> scenes;
    const test::Subject subject = test::LoadSubject(VREL_SOURCE_DIR "/tests/data");
    if (subject.alpha.empty()) {
        return scenes;
    }
    // Shoulders wider than the photo, as in most portraits.
    const double w = size.width;
    const double h = subject.alpha.rows * 1.08 * w / subject.alpha.cols;
    const test::Subject placed = test::Place(subject, size, 1.08 * w, {-0.04 * w, size.height - h});
    const std::vector<std::pair<std::string, cv::Mat>> walls = {
        {"cream", test::Flat(size, cv::Scalar(200, 222, 238))},
        {"grey", test::Flat(size, cv::Scalar(185, 185, 185))},
        {"gradient", test::Gradient(size, {215, 225, 235}, {140, 155, 170}, 0.3f)},
        {"noisy", test::Noisy(size, cv::Scalar(200, 222, 238), 6, 1)},
        {"stripes", test::Stripes(size, size.width / 15, cv::Scalar(200, 210, 220),
                                  cv::Scalar(150, 160, 170))},
        {"room", test::Room(size)},
        {"cat", test::PhotoBackdrop(VREL_SOURCE_DIR "/tests/data/chelsea.png", size)},
        {"navy", test::Flat(size, cv::Scalar(70, 35, 25))},
        {"skin", test::Flat(size, cv::Scalar(120, 150, 200))},
        {"navy-stripes",
         test::Stripes(size, size.width / 12, cv::Scalar(240, 240, 240), cv::Scalar(90, 40, 30))},
    };
    for (const auto& [name, wall] : walls) {
        scenes.push_back({name, test::Compose(placed, wall), placed});
    }
    const test::Subject floating =
        test::Place(subject, size, 0.6 * w, {0.2 * w, 0.15 * size.height});
    scenes.push_back({"floating", test::Compose(floating, walls[0].second), floating});
    const test::Subject cut = test::Place(subject, size, 1.4 * w, {-0.2 * w, -0.1 * h});
    scenes.push_back({"cut-top", test::Compose(cut, walls[0].second), cut});
    // Out of focus: the whole photo blurred.
    cv::Mat blurred;
    cv::GaussianBlur(test::Compose(placed, walls[0].second), blurred, cv::Size(0, 0),
                     0.02 * size.width);
    scenes.push_back({"blurred", blurred, placed});
    // Two people: the subject and a smaller one beside it, apart.
    const test::Subject left =
        test::Place(subject, size, 0.62 * w, {-0.05 * w, size.height - 0.62 * h / 1.08});
    const test::Subject right =
        test::Place(subject, size, 0.45 * w, {0.6 * w, size.height - 0.45 * h / 1.08});
    cv::Mat two = test::Compose(right, test::Compose(left, walls[0].second));
    scenes.push_back({"two-people", two, left});
    // A face box half beside the head.
    test::Subject beside = placed;
    beside.face.x += beside.face.width * 4 / 10;
    scenes.push_back({"face-beside", test::Compose(placed, walls[0].second), beside});
    return scenes;
}

int RunScenes(BackdropReplacer& replacer, const std::string& out_dir, cv::Size size,
              const cv::Scalar& colour) {
    for (const Scene& scene : Scenes(size)) {
        const auto start = std::chrono::steady_clock::now();
        const BackdropResult result = replacer.Replace(scene.photo, scene.truth.face, colour);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        std::printf("%-14s %5dx%-5d %7.1f ms  %-16s", scene.name.c_str(), size.width, size.height,
                    ms, RefusalName(result.refusal));
        if (!result.alpha.empty()) {
            const test::MatteScore score = test::Score(result.alpha, scene.truth.alpha);
            std::printf(" err=%.4f kept=%.4f lost=%.4f edge=%.1f", score.alpha_error,
                        score.backdrop_kept, score.person_lost,
                        test::EdgeColourError(result.photo, result.alpha,
                                              test::Compose(scene.truth, test::Flat(size, colour)),
                                              scene.truth.alpha));
        }
        for (const auto& [name, value] : result.measures.Named()) {
            std::printf(" %s=%.4f", name, value);
        }
        std::printf("\n");
        const std::string stem =
            out_dir + "/scene-" + scene.name + "-" + std::to_string(size.width);
        cv::imwrite(stem + "-photo.png", scene.photo);
        if (!result.photo.empty()) {
            cv::imwrite(stem + "-composite.png", result.photo);
            // Where the alpha is wrong: red where backdrop was kept, blue where person was lost.
            cv::Mat errors(size, CV_8UC3, cv::Scalar(255, 255, 255));
            for (int y = 0; y < size.height; ++y) {
                for (int x = 0; x < size.width; ++x) {
                    const float d =
                        result.alpha.at<uchar>(y, x) / 255.0f - scene.truth.alpha.at<float>(y, x);
                    const uchar v = cv::saturate_cast<uchar>(255 - std::abs(d) * 255 * 2);
                    errors.at<cv::Vec3b>(y, x) =
                        d > 0 ? cv::Vec3b(v, v, 255) : cv::Vec3b(255, v, v);
                }
            }
            cv::imwrite(stem + "-errors.png", errors);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    MatteOptions options;
    std::string out_dir = "backdrop-measure";
    cv::Scalar colour(255, 255, 255);
    std::vector<std::string> photos;
    int scenes = 0; // the width of the known-matte scenes to run, instead of photos
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--make-subject") {
            return MakeSubjectMatte(next());
        }
        if (arg == "--scenes") {
            scenes = std::stoi(next());
        } else if (arg == "--out") {
            out_dir = next();
        } else if (arg == "--colour") {
            int b = 0, g = 0, r = 0;
            std::sscanf(next().c_str(), "%d,%d,%d", &b, &g, &r);
            colour = cv::Scalar(b, g, r);
        } else if (arg == "--work") {
            options.work_side = std::stoi(next());
        } else if (arg == "--grabcut") {
            options.grabcut_side = std::stoi(next());
        } else if (arg == "--iterations") {
            options.grabcut_iterations = std::stoi(next());
        } else if (arg == "--radius") {
            options.filter_radius = std::stod(next());
        } else if (arg == "--eps") {
            options.filter_eps = std::stod(next());
        } else if (arg == "--low") {
            options.alpha_low = std::stod(next());
        } else if (arg == "--high") {
            options.alpha_high = std::stod(next());
        } else {
            photos.push_back(arg);
        }
    }
    cv::setNumThreads(0);
    std::filesystem::create_directories(out_dir);
    Result<BackdropReplacer> replacer =
        BackdropReplacer::Load(VREL_APP_DIR "/models/selfie_segmentation.onnx", options);
    if (!replacer) {
        std::fprintf(stderr, "%s\n", replacer.Err().Detail().c_str());
        return 1;
    }
    if (scenes > 0) {
        return RunScenes(*replacer, out_dir, cv::Size(scenes, scenes * 4 / 3), colour);
    }
    FaceDetector detector(VREL_APP_DIR "/haarcascade_frontalface_alt2.xml");
    for (const std::string& path : photos) {
        const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
        if (photo.empty()) {
            std::fprintf(stderr, "%s: cannot read\n", path.c_str());
            continue;
        }
        const std::optional<cv::Rect> face = LargestFace(photo, detector);
        if (!face) {
            std::printf("%-40s no face\n", path.c_str());
            continue;
        }
        replacer->Replace(photo, *face, colour); // warm up
        const auto start = std::chrono::steady_clock::now();
        const BackdropResult result = replacer->Replace(photo, *face, colour);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        std::printf("%-40s %5dx%-5d %7.1f ms  %-16s",
                    std::filesystem::path(path).filename().c_str(), photo.cols, photo.rows, ms,
                    RefusalName(result.refusal));
        for (const auto& [name, value] : result.measures.Named()) {
            std::printf(" %s=%.4f", name, value);
        }
        std::printf("\n");
        const std::string stem = out_dir + "/" + std::filesystem::path(path).stem().string();
        if (!result.photo.empty()) {
            cv::imwrite(stem + "-composite.png", result.photo);
            cv::imwrite(stem + "-alpha.png", result.alpha);
        }
    }
    return 0;
}
