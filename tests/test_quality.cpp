// Quality advisories on real portraits, and on versions of them made faulty the way photos
// handed in are: black and white, tinted, enlarged, over-compressed, too dark or bright, lit
// from one side, tilted.

#include "quality/advisories.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#ifndef VREL_CASCADE_DIR
#define VREL_CASCADE_DIR "/usr/share/opencv4/haarcascades/"
#endif

namespace vrel {
namespace {

const std::string kEyeCascade = VREL_CASCADE_DIR "haarcascade_eye.xml";

struct Portrait {
    const char* name;
    const char* path; // in the repository
    friend void PrintTo(const Portrait& p, std::ostream* os) { *os << p.name; }
};

const Portrait kGraceHopper{"grace_hopper", "tests/data/grace_hopper.jpg"};
const Portrait kAstronaut{"astronaut", "tests/data/astronaut.jpg"};
const Portrait kGrey{"grey_600x800", "samples/passed-grey-600x800.jpg"};
// Grace Hopper's photo enlarged (not turned) on a white backdrop.
const Portrait kWhite{"white_1200x1600", "samples/passed-white-1200x1600.jpg"};
const Portrait kPortraits[] = {kGraceHopper, kAstronaut, kGrey, kWhite};

struct Loaded {
    cv::Mat photo;
    cv::Rect face; // empty unless the face detector found exactly one
};

// The photo and its face as the frontal-face detector finds it (read once per photo).
const Loaded& Load(const Portrait& p) {
    static std::map<std::string, Loaded> cache;
    if (auto it = cache.find(p.path); it != cache.end()) {
        return it->second;
    }
    Loaded l{cv::imread(std::string(VREL_SOURCE_DIR) + "/" + p.path, cv::IMREAD_COLOR), {}};
    cv::CascadeClassifier faces(VREL_CASCADE_DIR "haarcascade_frontalface_alt2.xml");
    if (!l.photo.empty() && !faces.empty()) {
        cv::Mat grey;
        cv::cvtColor(l.photo, grey, cv::COLOR_BGR2GRAY);
        cv::equalizeHist(grey, grey);
        const int min_size = std::min(l.photo.cols, l.photo.rows) / 10;
        std::vector<cv::Rect> found;
        faces.detectMultiScale(grey, found, 1.1, 3, 0, cv::Size(min_size, min_size));
        l.face = found.size() == 1 ? found[0] : cv::Rect();
    }
    return cache.emplace(p.path, l).first->second;
}

cv::Mat Mix(const cv::Mat& p, const cv::Matx33f& m) { // rows: blue, green, red out of them
    cv::Mat out;
    cv::transform(p, out, m);
    return out;
}
const cv::Matx33f kSepia(0.131f, 0.534f, 0.272f, 0.168f, 0.686f, 0.349f, 0.189f, 0.769f, 0.393f);
const cv::Matx33f kBlueCast(1.5f, 0, 0, 0, 1, 0, 0, 0, 0.6f);
const cv::Matx33f kGreenCast(0.75f, 0, 0, 0, 1.2f, 0, 0, 0, 0.75f);
const cv::Matx33f kWarmLight(0.85f, 0, 0, 0, 1, 0, 0, 0, 1.1f);
const cv::Matx33f kCoolLight(1.1f, 0, 0, 0, 1, 0, 0, 0, 0.9f);
const cv::Matx33f kGreyscale = cv::Matx33f::all(1) * cv::Matx33f::diag({0.114f, 0.587f, 0.299f});

cv::Mat Gain(const cv::Mat& p, double gain) {
    cv::Mat out;
    p.convertTo(out, -1, gain);
    return out;
}
cv::Mat Jpeg(const cv::Mat& p, int quality) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", p, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    return cv::imdecode(bytes, cv::IMREAD_COLOR);
}
cv::Mat Resized(const cv::Mat& p, double factor, int interpolation, cv::Size size = {}) {
    cv::Mat out;
    cv::resize(p, out, size, factor, factor, interpolation);
    return out;
}
// Darker towards the right: full light at the face's left edge, 30 % at its right edge.
cv::Mat RightSideDark(const cv::Mat& p, const cv::Rect& face) {
    cv::Mat gain(1, p.cols, CV_32FC3);
    for (int x = 0; x < p.cols; ++x) {
        const double t = std::clamp(double(x - face.x) / face.width, 0.0, 1.0);
        gain.at<cv::Vec3f>(0, x) = cv::Vec3f::all(float(1 - 0.7 * t));
    }
    cv::Mat out;
    cv::multiply(p, cv::repeat(gain, p.rows, 1), out, 1.0, CV_8UC3);
    return out;
}
// Turned counter-clockwise (as seen) about the face's centre, where the face box stays.
cv::Mat Turned(const cv::Mat& p, const cv::Rect& face, double degrees) {
    const cv::Point2f centre(face.x + face.width / 2.0f, face.y + face.height / 2.0f);
    cv::Mat out;
    cv::warpAffine(p, out, cv::getRotationMatrix2D(centre, degrees, 1.0), p.size(),
                   cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return out;
}

std::string Codes(const std::vector<AdvisoryNote>& notes) {
    std::string s;
    for (const AdvisoryNote& n : notes) {
        s += std::string(AdvisoryCode(n.code)) + "=" + std::to_string(n.measure) + " ";
    }
    return s.empty() ? "(none)" : s;
}
bool Has(const std::vector<AdvisoryNote>& notes, Advisory a) {
    return std::any_of(notes.begin(), notes.end(),
                       [&](const AdvisoryNote& n) { return n.code == a; });
}

using Make = std::function<cv::Mat(const cv::Mat&, const cv::Rect&)>;
struct Fault {
    const char* name;
    std::optional<Advisory> expected; // none: no advisory at all
    Make make;
    friend void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }
};

const Fault kFaults[] = {
    {"untouched", std::nullopt, [](auto& p, auto&) { return p; }},
    {"black_and_white", Advisory::Colour, [](auto& p, auto&) { return Mix(p, kGreyscale); }},
    {"sepia", Advisory::Tint, [](auto& p, auto&) { return Mix(p, kSepia); }},
    {"blue_cast", Advisory::Tint, [](auto& p, auto&) { return Mix(p, kBlueCast); }},
    {"green_cast", Advisory::Tint, [](auto& p, auto&) { return Mix(p, kGreenCast); }},
    {"enlarged_3x", Advisory::Soft,
     [](auto& p, auto&) {
         return Resized(Resized(p, 1 / 3.0, cv::INTER_AREA), 0, cv::INTER_CUBIC, p.size());
     }},
    {"jpeg_quality_5", Advisory::Compression, [](auto& p, auto&) { return Jpeg(p, 5); }},
    {"jpeg_quality_10", Advisory::Compression, [](auto& p, auto&) { return Jpeg(p, 10); }},
    {"darkened", Advisory::Underexposed, [](auto& p, auto&) { return Gain(p, 0.35); }},
    {"brightened", Advisory::Overexposed, [](auto& p, auto&) { return Gain(p, 1.6); }},
    {"right_side_dark", Advisory::UnevenLight,
     [](auto& p, auto& f) { return RightSideDark(p, f); }},
    {"turned_15", Advisory::Roll, [](auto& p, auto& f) { return Turned(p, f, 15); }},
    {"turned_minus_15", Advisory::Roll, [](auto& p, auto& f) { return Turned(p, f, -15); }},
};

class FaultyPortrait : public ::testing::TestWithParam<std::tuple<Portrait, Fault>> {};

TEST_P(FaultyPortrait, CallsForItsAdvisory) {
    const auto& [portrait, fault] = GetParam();
    const Loaded& l = Load(portrait);
    ASSERT_FALSE(l.face.empty()) << portrait.path;
    const std::vector<AdvisoryNote> notes =
        QualityAdvisor(kEyeCascade).Assess(fault.make(l.photo, l.face), l.face);
    if (!fault.expected) {
        EXPECT_EQ(Codes(notes), "(none)");
    } else {
        EXPECT_TRUE(Has(notes, *fault.expected))
            << "expected " << AdvisoryCode(*fault.expected) << ", got " << Codes(notes);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FaultyPortrait,
                         ::testing::Combine(::testing::ValuesIn(kPortraits),
                                            ::testing::ValuesIn(kFaults)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::get<1>(info.param).name;
                         });

// Changes a person would accept, and the advisory each must not call for. The face box grows
// with the photo.
struct Harmless {
    const char* name;
    Portrait portrait;
    Advisory not_expected;
    Make make;
    friend void PrintTo(const Harmless& h, std::ostream* os) { *os << h.name; }
};

const Harmless kHarmless[] = {
    {"jpeg_quality_75", kGraceHopper, Advisory::Compression,
     [](auto& p, auto&) { return Jpeg(p, 75); }},
    {"jpeg_quality_75", kAstronaut, Advisory::Compression,
     [](auto& p, auto&) { return Jpeg(p, 75); }},
    // Steps every second column are no block grid.
    {"pixels_doubled", kGraceHopper, Advisory::Compression,
     [](auto& p, auto&) { return Jpeg(Resized(p, 2, cv::INTER_NEAREST), 90); }},
    {"warm_light", kAstronaut, Advisory::Tint, [](auto& p, auto&) { return Mix(p, kWarmLight); }},
    {"cool_light", kGraceHopper, Advisory::Tint, [](auto& p, auto&) { return Mix(p, kCoolLight); }},
    // Clipped colours lean yellow; the advisory is the light, not a tint.
    {"brightened", kAstronaut, Advisory::Tint, [](auto& p, auto&) { return Gain(p, 1.6); }},
    {"a_little_dark", kGraceHopper, Advisory::Underexposed,
     [](auto& p, auto&) { return Gain(p, 0.6); }},
    // A phone's photo: 3000 x 4000, soft at the pixel level, detailed at the face's own scale.
    {"phone_resolution", kGrey, Advisory::Soft,
     [](auto& p, auto&) {
         cv::Mat phone;
         cv::GaussianBlur(Resized(p, 5, cv::INTER_LANCZOS4), phone, cv::Size(), 1.5);
         return phone;
     }},
};

class HarmlessChange : public ::testing::TestWithParam<Harmless> {};

TEST_P(HarmlessChange, CallsForNothingOfItsKind) {
    const Harmless& h = GetParam();
    const Loaded& l = Load(h.portrait);
    ASSERT_FALSE(l.face.empty()) << h.portrait.path;
    const cv::Mat changed = h.make(l.photo, l.face);
    const double f = double(changed.cols) / l.photo.cols;
    const cv::Rect face(int(l.face.x * f), int(l.face.y * f), int(l.face.width * f),
                        int(l.face.height * f));
    const std::vector<AdvisoryNote> notes = QualityAdvisor(kEyeCascade).Assess(changed, face);
    EXPECT_FALSE(Has(notes, h.not_expected)) << Codes(notes);
}

INSTANTIATE_TEST_SUITE_P(Table, HarmlessChange, ::testing::ValuesIn(kHarmless),
                         [](const auto& info) {
                             return std::string(info.param.portrait.name) + "_" + info.param.name;
                         });

// The roll against the eyes marked by hand, turned either way.
struct Turn {
    Portrait portrait;
    double marked_roll; // degrees
    double degrees;
    friend void PrintTo(const Turn& t, std::ostream* os) { *os << t.degrees; }
};

std::vector<Turn> Turns() {
    std::vector<Turn> turns;
    for (const auto& [portrait, roll] :
         {std::pair{kGraceHopper, 3.1}, std::pair{kAstronaut, -3.3}, std::pair{kWhite, 3.1}}) {
        for (const double degrees : {-15.0, -10.0, -5.0, 0.0, 5.0, 10.0, 15.0}) {
            turns.push_back({portrait, roll, degrees});
        }
    }
    return turns;
}

class TurnedPortrait : public ::testing::TestWithParam<Turn> {};

TEST_P(TurnedPortrait, RollWithinTwoDegrees) {
    const Turn& t = GetParam();
    const Loaded& l = Load(t.portrait);
    ASSERT_FALSE(l.face.empty()) << t.portrait.path;
    const std::optional<QualityMeasures> m =
        QualityAdvisor(kEyeCascade).Measure(Turned(l.photo, l.face, t.degrees), l.face);
    ASSERT_TRUE(m && m->roll) << "two eyes should be found";
    EXPECT_NEAR(*m->roll, t.marked_roll + t.degrees, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Table, TurnedPortrait, ::testing::ValuesIn(Turns()), [](const auto& info) {
    const int d = int(info.param.degrees);
    return std::string(info.param.portrait.name) + (d < 0 ? "_minus_" : "_") +
           std::to_string(std::abs(d));
});

TEST(QualityAdvisor, ReducedDecodeLeavesCompressionOut) {
    // Quality 5 decoded at half size in the DCT domain, as in fast mode: the blocks are 4 pixels.
    const Loaded& l = Load(kGraceHopper);
    ASSERT_FALSE(l.face.empty());
    std::vector<uchar> bytes;
    cv::imencode(".jpg", l.photo, bytes, {cv::IMWRITE_JPEG_QUALITY, 5});
    const cv::Mat half = cv::imdecode(bytes, cv::IMREAD_REDUCED_COLOR_2);
    const cv::Rect face(l.face.x / 2, l.face.y / 2, l.face.width / 2, l.face.height / 2);
    const std::optional<QualityMeasures> m = QualityAdvisor(kEyeCascade).Measure(half, face, 2);
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->blockiness);
    EXPECT_FALSE(Has(JudgeQuality(*m), Advisory::Compression));
}

TEST(QualityAdvisor, WithoutEyeDetectorNoRollButTheRest) {
    const Loaded& l = Load(kGraceHopper);
    ASSERT_FALSE(l.face.empty());
    for (const std::string path : {"", "tests/data/missing.xml", "tests/data/truncated.jpg"}) {
        QualityAdvisor advisor(path.empty() ? path : std::string(VREL_SOURCE_DIR) + "/" + path);
        EXPECT_FALSE(advisor.HasEyeDetector()) << path;
        const auto notes = advisor.Assess(Mix(Turned(l.photo, l.face, 15), kGreyscale), l.face);
        EXPECT_FALSE(Has(notes, Advisory::Roll)) << path;
        EXPECT_TRUE(Has(notes, Advisory::Colour)) << path;
    }
}

TEST(QualityAdvisor, UnusableFaceBoxIsNotMeasured) {
    const Loaded& l = Load(kGraceHopper); // 512 x 600
    QualityAdvisor advisor(kEyeCascade);
    // Outside the photo, mostly outside, too small to judge, empty.
    for (const cv::Rect box : {cv::Rect(600, 700, 200, 200), cv::Rect(400, 500, 200, 200),
                               cv::Rect(200, 200, 12, 12), cv::Rect()}) {
        EXPECT_FALSE(advisor.Measure(l.photo, box)) << box;
        EXPECT_TRUE(advisor.Assess(l.photo, box).empty()) << box;
    }
}

} // namespace
} // namespace vrel
