// The correction: rejected photos of one real portrait, framed wrongly, sized wrongly or in
// another format, come out as photos that the full review passes; what cannot be mended is
// refused with its reason and numbers. The sample photos' corrections: test_samples.cpp.
#include "check/jpeg_decode.h"
#include "correct/canvas.h"
#include "correct/correction.h"
#include "correct/framing.h"
#include "correct/image_input.h"
#include "quality/advisories.h"
#include "quality/head_roll.h"
#include "report/correction_text.h"

#include "scenes/backdrop_scenes.h"
#include "test_support.h"

#include <opencv2/imgproc.hpp>
#include <tiffio.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace vrel {
namespace {

using test::Bytes;

// The refusal in words, as the report gives it.
std::string Why(const Correction& c) {
    return CorrectionReason(c, test::ShippedSettings());
}

using test::OnCanvas;

// The photo stored as a camera with that EXIF orientation stores it, so that turning it by its
// orientation gives the upright photo again.
Bytes Turned(const cv::Mat& upright, int orientation) {
    cv::Mat stored;
    switch (orientation) {
    case 2:
        cv::flip(upright, stored, 1);
        break;
    case 3:
        cv::flip(upright, stored, -1);
        break;
    case 4:
        cv::flip(upright, stored, 0);
        break;
    case 5:
        cv::transpose(upright, stored);
        break;
    case 6:
        cv::rotate(upright, stored, cv::ROTATE_90_COUNTERCLOCKWISE);
        break;
    case 7:
        cv::flip(upright, stored, -1);
        cv::transpose(stored, stored);
        break;
    case 8:
        cv::rotate(upright, stored, cv::ROTATE_90_CLOCKWISE);
        break;
    default:
        stored = upright;
    }
    return test::InsertAfterJfif(test::EncodeJpeg(stored, 92), test::ExifOrientation(orientation));
}

Bytes Encoded(const cv::Mat& photo, const char* ext) {
    Bytes out;
    cv::imencode(ext, photo, out);
    return out;
}

class Correcting : public ::testing::Test {
protected:
    Correcting() : settings_(test::ShippedSettings()) {}

    struct Outcome {
        ReviewResult original;
        Correction correction;
    };
    Outcome Run(const Bytes& bytes) {
        PhotoReviewer reviewer(settings_, test::AppDataDir());
        PhotoCorrector corrector(settings_, test::AppDataDir());
        Outcome o;
        o.original = reviewer.ReviewBytes(bytes.data(), bytes.size());
        o.correction = corrector.Correct(bytes.data(), bytes.size(), o.original);
        return o;
    }
    CheckSettings settings_;
};

struct MendCase {
    const char* what;
    Bytes bytes;
    CheckVerdict original;
    const char* format;
    std::vector<CorrectionStep> steps; // the least change that passes
};

using S = CorrectionStep;
const std::vector<CorrectionStep> kReframed{S::Convert, S::Reframe};

TEST_F(Correcting, RejectedFramingsSizesAndFormatsComeOutPassing) {
    const cv::Mat off_centre = OnCanvas({1200, 1600}, 2.1, {125, 340});
    // A tightly framed photo that passes as a JPEG: converted as it is, never framed anew.
    const cv::Mat tight = cv::imread(test::SamplePath("passed-grey-600x800.jpg"));
    cv::Mat narrow;
    cv::resize(tight, narrow, cv::Size(470, 667), 0, 0, cv::INTER_AREA);
    const MendCase cases[] = {
        {"small on a large canvas", test::EncodeJpeg(OnCanvas({1600, 2000}, 1.0, {544, 1400})),
         CheckVerdict::FaceCountWrong, "jpeg", kReframed},
        {"off centre", test::EncodeJpeg(off_centre), CheckVerdict::NotCentred, "jpeg", kReframed},
        // Its canvas shows plain below and beside the portrait, as a scan's margins do: cut off
        // first.
        {"too high",
         test::EncodeJpeg(OnCanvas({900, 1200}, 1.25, {130, 0})),
         CheckVerdict::PlacementWrong,
         "jpeg",
         {S::Trim, S::Convert, S::Reframe}},
        {"too low", test::EncodeJpeg(OnCanvas({1200, 1600}, 1.5, {216, 780})),
         CheckVerdict::PlacementWrong, "jpeg", kReframed},
        {"inside a 3000 x 4000 canvas",
         test::EncodeJpeg(OnCanvas({3000, 4000}, 3.2, {680, 2080}), 95),
         CheckVerdict::PlacementWrong, "jpeg", kReframed},
        {"PNG", Encoded(off_centre, ".png"), CheckVerdict::NotJpeg, "png", kReframed},
        {"WebP", Encoded(off_centre, ".webp"), CheckVerdict::NotJpeg, "webp", kReframed},
        {"turned", Turned(off_centre, 6), CheckVerdict::NotCentred, "jpeg", kReframed},
        {"tight PNG", Encoded(tight, ".png"), CheckVerdict::NotJpeg, "png", {S::Convert}},
        {"tight 470 x 667",
         test::EncodeJpeg(narrow),
         CheckVerdict::PixelSizeOutOfRange,
         "jpeg",
         {S::Convert}},
        {"flags behind",
         test::ReadBytes(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg"),
         CheckVerdict::PixelSizeOutOfRange,
         "jpeg",
         {S::Convert, S::Reframe, S::Backdrop}},
    };
    test::TempDir dir;
    for (const MendCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = Run(c.bytes);
        EXPECT_EQ(o.original.verdict, c.original) << VerdictName(o.original.verdict);
        const Correction& fixed = o.correction;
        ASSERT_EQ(fixed.status, CorrectionStatus::Corrected) << Why(fixed);
        EXPECT_EQ(fixed.format, c.format);
        EXPECT_EQ(fixed.steps, c.steps);
        EXPECT_EQ(fixed.review.verdict, CheckVerdict::Passed);
        EXPECT_LE(fixed.scale, 1.5);
        const ReviewMeasures& m = fixed.review.measures;
        if (fixed.steps.size() > 1) { // a new framing keeps its margins from every bound
            ASSERT_TRUE(m.ratio_y && m.ratio_x);
            EXPECT_TRUE(RatiosWellInside(*m.ratio_y, *m.ratio_x, settings_))
                << *m.ratio_y << " " << *m.ratio_x;
        }
        // The saved file passes by its marker, and with every test.
        test::WriteBytes(dir.File("fixed.jpg"), fixed.bytes);
        PhotoReviewer plain(settings_, test::AppDataDir());
        EXPECT_EQ(plain.Review(dir.File("fixed.jpg")).verdict, CheckVerdict::PassedByMarker);
        ReviewOptions every_test;
        every_test.ignore_marker = true;
        PhotoReviewer strict(settings_, test::AppDataDir(), every_test);
        EXPECT_EQ(strict.Review(dir.File("fixed.jpg")).verdict, CheckVerdict::Passed);
    }
}

struct RefusalCase {
    const char* what;
    Bytes bytes;
    const char* rule;
    const char* number; // a number the report gives, or nullptr
    std::vector<std::string> blockers = {};
};

TEST_F(Correcting, WhatCannotBeMendedIsRefusedWithItsReason) {
    cv::Mat head_at_top = OnCanvas({700, 1000}, 1.0, {94, -60});
    cv::Mat flags_small;
    cv::resize(cv::imread(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg"), flags_small, cv::Size(),
               0.42, 0.42, cv::INTER_AREA);
    cv::Mat flags_canvas(900, 700, CV_8UC3, cv::Scalar(40, 40, 160));
    flags_small.copyTo(
        flags_canvas(cv::Rect(cv::Point(240, 900 - flags_small.rows), flags_small.size())));
    const RefusalCase cases[] = {
        {"face too small on a red wall",
         test::EncodeJpeg(flags_canvas),
         "too_small",
         "enlargement_needed",
         {"too_small", "background"}},
        {"face too small to enlarge", test::EncodeJpeg(OnCanvas({700, 900}, 0.42, {240, 650})),
         "too_small", "enlargement_needed"},
        {"head against the top edge", test::EncodeJpeg(head_at_top), "space_above",
         "pixels_missing"},
        {"no face at all", Encoded(cv::imread(VREL_SOURCE_DIR "/tests/data/chelsea.png"), ".png"),
         "faces", "faces"},
        {"not a picture", Bytes{'h', 'e', 'l', 'l', 'o'}, "not_a_photo", nullptr},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = Run(c.bytes);
        EXPECT_NE(o.original.verdict, CheckVerdict::Passed);
        const Correction& refused = o.correction;
        EXPECT_EQ(refused.status, CorrectionStatus::Refused);
        EXPECT_EQ(CorrectionRuleName(refused.rule), std::string(c.rule)) << Why(refused);
        EXPECT_FALSE(Why(refused).empty());
        EXPECT_TRUE(refused.bytes.empty());
        if (!c.blockers.empty()) {
            std::vector<std::string> rules;
            for (const CorrectionBlocker& b : refused.blockers) {
                rules.push_back(CorrectionRuleName(b.rule));
            }
            EXPECT_EQ(rules, c.blockers) << Why(refused);
        }
        if (c.number != nullptr) {
            bool found = false;
            for (const auto& [name, value] : refused.numbers.Named()) {
                found = found || name == std::string(c.number);
            }
            EXPECT_TRUE(found) << Why(refused);
        }
    }
}

TEST_F(Correcting, DamagedOrUndecodablePhotosAreRefusedUntried) {
    Bytes cut = test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg"));
    cut.resize(50000);
    EXPECT_EQ(Run(cut).correction.rule, CorrectionRule::Damaged);
    // Cut within its headers: nothing to decode at all.
    EXPECT_EQ(Run(test::ReadBytes(VREL_SOURCE_DIR "/tests/data/truncated.jpg")).correction.rule,
              CorrectionRule::Undecodable);
}

// A head turned by a known angle (the portrait's own roll, as the correction measures it on the
// upright photo, taken out first): straightened within ten degrees, refused beyond with the
// angle. The mesh reads a turn within about a degree, so 9 is tried at the edge.
struct TiltCase {
    double degrees;
    bool straightened;
};

TEST_F(Correcting, TiltsUpToTenDegreesComeOutStraightBeyondRefused) {
    const cv::Mat upright = OnCanvas({1400, 1800}, 1.6, {280, 500});
    const TiltCase cases[] = {{0, false}, {5, true},  {-5, true},
                              {9, true},  {-9, true}, {13, false}};
    QualityAdvisor eyes(test::AppDataDir() + kEyeCascadeFileName);
    const std::optional<double> own = Run(test::EncodeJpeg(upright)).correction.roll;
    ASSERT_TRUE(own);
    for (const TiltCase& t : cases) {
        SCOPED_TRACE(t.degrees);
        const cv::Point2f centre(700, 800);
        cv::Mat turned;
        cv::warpAffine(upright, turned, cv::getRotationMatrix2D(centre, t.degrees - *own, 1.0),
                       upright.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        const Correction c = Run(test::EncodeJpeg(turned)).correction;
        ASSERT_TRUE(c.roll) << Why(c);
        EXPECT_NEAR(*c.roll, t.degrees, 1.5);
        if (std::abs(t.degrees) > kMaxStraighten + 0.5) {
            EXPECT_EQ(c.rule, CorrectionRule::Tilt) << Why(c);
            continue;
        }
        ASSERT_EQ(c.status, CorrectionStatus::Corrected) << Why(c);
        const bool straightened =
            std::find(c.steps.begin(), c.steps.end(), S::Straighten) != c.steps.end();
        EXPECT_EQ(straightened, t.straightened);
        ASSERT_TRUE(c.review.measures.face);
        const std::optional<double> after = MeasureHeadRoll(c.photo, *c.review.measures.face, eyes);
        ASSERT_TRUE(after);
        EXPECT_NEAR(*after, straightened ? 0.0 : t.degrees, 2.5);
    }
}

struct ColourCase {
    const char* text;
    int bgc;
    bool accepted;
};

TEST(BackdropColours, OnlyWhatTheBackdropTestTakes) {
    const ColourCase cases[] = {
        {"white", 0, true},   {"WHITE", 1, true},    {"blue", 0, false},    {"blue", 1, true},
        {"#D8D8D8", 0, true}, {"#808080", 0, false}, {"#ff0000", 1, false}, {"#438edb", 0, false},
        {"#438edb", 1, true}, {"teal", 1, false},    {"#12345", 0, false},  {"#12345g", 0, false},
    };
    for (const ColourCase& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " bgc " + std::to_string(c.bgc));
        CheckSettings s = test::ShippedSettings();
        s.bgc = c.bgc;
        EXPECT_EQ(ChooseBackdrop(c.text, s).Ok(), c.accepted);
        EXPECT_EQ(AcceptedBackdrops(s).size(), c.bgc == 1 ? 2u : 1u);
    }
}

TEST_F(Correcting, BlueBackdropWhereTheSettingsTakeIt) {
    settings_.bgc = 1;
    PhotoReviewer reviewer(settings_, test::AppDataDir());
    PhotoCorrector corrector(settings_, test::AppDataDir(), BlueBackdrop());
    const Bytes bytes = test::ReadBytes(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg");
    const ReviewResult original = reviewer.ReviewBytes(bytes.data(), bytes.size());
    const Correction c = corrector.Correct(bytes.data(), bytes.size(), original);
    ASSERT_EQ(c.status, CorrectionStatus::Corrected) << Why(c);
    // The top corner is the new blue.
    const cv::Vec3b corner = c.photo.at<cv::Vec3b>(2, 2);
    EXPECT_LE(cv::norm(cv::Vec3d(corner) - cv::Vec3d(BlueBackdrop().bgr)), 6.0);
}

// The known-matte portrait with its face too near the right edge to be centred inside the
// photo, on a wall.
cv::Mat NearTheRightEdge(const cv::Mat& wall) {
    const test::Subject subject = test::LoadSubject(VREL_SOURCE_DIR "/tests/data");
    return test::Compose(test::Place(subject, wall.size(), 640, {260, 250}), wall);
}

const cv::Size kNearTheEdge(760, 1000);
// A wall lit from one side: the review takes it, but it is not one plain colour.
const cv::Mat kLitFromOneSide =
    test::Gradient(kNearTheEdge, {245, 245, 245}, {215, 215, 215}, 0.12f);

TEST_F(Correcting, WithoutTheModelOnlyTheBackdropIsRefused) {
    test::TempDir dir;
    for (const char* file : {kCascadeFileName, kEyeCascadeFileName}) {
        test::WriteBytes(dir.File(file), test::ReadBytes(test::AppDataDir() + file));
    }
    PhotoReviewer reviewer(settings_, dir.Path());
    PhotoCorrector corrector(settings_, dir.Path());
    EXPECT_NE(corrector.SetupError().Detail().find("selfie_segmentation"), std::string::npos);
    auto correct = [&](const Bytes& bytes) {
        return corrector.Correct(bytes.data(), bytes.size(),
                                 reviewer.ReviewBytes(bytes.data(), bytes.size()));
    };
    EXPECT_EQ(correct(test::EncodeJpeg(OnCanvas({1200, 1600}, 2.1, {125, 340}))).status,
              CorrectionStatus::Corrected);
    const Correction flags =
        correct(test::ReadBytes(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg"));
    EXPECT_EQ(flags.rule, CorrectionRule::Background) << Why(flags);
    // A wall the review takes is not blamed: room is what is missing.
    const Correction lit = correct(test::EncodeJpeg(NearTheRightEdge(kLitFromOneSide)));
    EXPECT_EQ(lit.rule, CorrectionRule::SpaceRight) << Why(lit);
    EXPECT_EQ(lit.blockers.size(), 1u) << Why(lit);
}

struct RoomCase {
    const char* what;
    cv::Mat wall;
    std::vector<CorrectionStep> steps;
};

TEST_F(Correcting, RoomIsMadeOnAnyWallTheReviewTakes) {
    // A plain wall is extended as it is; another one the review takes is replaced first, to be
    // extended with the new colour.
    const RoomCase cases[] = {
        {"plain", test::Flat(kNearTheEdge, {232, 232, 232}), {S::Convert, S::Reframe, S::Extend}},
        {"lit from one side", kLitFromOneSide, {S::Convert, S::Reframe, S::Backdrop, S::Extend}},
    };
    for (const RoomCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = Run(test::EncodeJpeg(NearTheRightEdge(c.wall)));
        EXPECT_EQ(o.original.verdict, CheckVerdict::NotCentred);
        ASSERT_EQ(o.correction.status, CorrectionStatus::Corrected) << Why(o.correction);
        EXPECT_EQ(o.correction.steps, c.steps);
        ASSERT_TRUE(o.correction.extended);
        EXPECT_GT(o.correction.extended->right, 0);
        EXPECT_EQ(o.correction.extended->bottom, 0);
    }
}

// Every reason a correction or a backdrop replacement gives has words of its own.
TEST(CorrectionWords, EveryRuleAndBackdropRefusalIsWorded) {
    const CheckSettings s = test::ShippedSettings();
    std::set<std::string> texts;
    for (int i = 1; i <= static_cast<int>(CorrectionRule::Verdict); ++i) {
        const CorrectionBlocker b{static_cast<CorrectionRule>(i), {}, "detail"};
        EXPECT_TRUE(texts.insert(BlockerText(b, s, ReviewResult())).second) << i;
    }
    for (int i = 1; i <= static_cast<int>(BackdropRefusal::WallLeft); ++i) {
        CorrectionBlocker b{CorrectionRule::Background, {}};
        b.backdrop = static_cast<BackdropRefusal>(i);
        EXPECT_TRUE(texts.insert(BlockerText(b, s, ReviewResult())).second) << i;
    }
}

struct TurnCase {
    double w, h, degrees;
};

TEST(Canvas, TheRectangleInsideATurnedPhotoTouchesItsEdgesAndStaysInside) {
    const TurnCase cases[] = {{600, 800, 5},   {600, 800, -9}, {800, 600, 7},
                              {100, 1000, 30}, {500, 500, 45}, {3000, 4000, 0.5}};
    for (const TurnCase& t : cases) {
        SCOPED_TRACE(t.degrees);
        const cv::Size2d inside = InsideTurned(t.w, t.h, t.degrees);
        const double a = t.degrees * CV_PI / 180;
        double closest = 1e9;
        for (const double sx : {-0.5, 0.5}) {
            for (const double sy : {-0.5, 0.5}) {
                // A corner of the upright rectangle, turned back into the photo.
                const double x = sx * inside.width, y = sy * inside.height;
                const double px = t.w / 2 + x * std::cos(a) - y * std::sin(a);
                const double py = t.h / 2 + x * std::sin(a) + y * std::cos(a);
                EXPECT_GE(px, -1e-6);
                EXPECT_LE(px, t.w + 1e-6);
                EXPECT_GE(py, -1e-6);
                EXPECT_LE(py, t.h + 1e-6);
                closest = std::min({closest, px, t.w - px, py, t.h - py});
            }
        }
        EXPECT_LT(closest, 0.5); // as large as fits
    }
}

TEST(Framing, CropKeepsTheAspectAndLiesInsideForOddSizes) {
    const CheckSettings s = test::ShippedSettings();
    const FramingTargets t = TargetsFor(s);
    const cv::Size sizes[] = {{601, 799}, {1201, 1599}, {3001, 4003}, {999, 999}, {1777, 1001}};
    for (const cv::Size photo : sizes) {
        for (double share : {0.18, 0.25, 0.3}) {
            const double w = share * photo.width;
            const FaceBox face{photo.width / 2.0 - w / 2, photo.height * 0.3, w, w, std::nullopt};
            const Framing f = PlanCrop(face, photo, s, t);
            SCOPED_TRACE(std::to_string(photo.width) + "x" + std::to_string(photo.height) +
                         " share " + std::to_string(share));
            if (f.problem != FramingProblem::None) {
                continue;
            }
            EXPECT_NEAR(f.crop.height, f.crop.width * double(s.dst_height) / s.dst_width, 1.0);
            EXPECT_TRUE((cv::Rect(cv::Point(), photo) & f.crop) == f.crop);
            EXPECT_LE(f.scale, t.max_enlarge + 1e-9);
            // The face lands on the target ratios, centred, by the face check's own formulas.
            const FaceBox in = FaceInCrop(face, f.crop, s);
            EXPECT_NEAR(HorizontalFaceRatio(int(in.w), s.dst_width), t.ratio_x, 0.02);
            EXPECT_LT(std::abs(CentreDifference(int(in.x), int(in.w), s.dst_width)),
                      s.face_left_right_dif);
        }
    }
}

TEST(Framing, APlainBackdropExtendsAboveAndBesideNeverBelow) {
    const CheckSettings s = test::ShippedSettings();
    const FramingTargets t = TargetsFor(s);
    const cv::Size photo(800, 1000);
    const double w = 200;
    struct Case {
        const char* what;
        FaceBox face;
        std::optional<double> bottom; // the room's lowest row
        FramingProblem inside;        // without extending
        FramingProblem extended;
    };
    const Case cases[] = {
        {"at the top",
         {300, 20, w, w, std::nullopt},
         {},
         FramingProblem::SpaceAbove,
         FramingProblem::None},
        {"at the left",
         {0, 300, w, w, std::nullopt},
         {},
         FramingProblem::SpaceLeft,
         FramingProblem::None},
        {"at the right",
         {600, 300, w, w, std::nullopt},
         {},
         FramingProblem::SpaceRight,
         FramingProblem::None},
        {"at the bottom",
         {300, 760, w, w, std::nullopt},
         {},
         FramingProblem::SpaceBelow,
         FramingProblem::SpaceBelow},
        {"above a turn's open corners",
         {300, 20, w, w, std::nullopt},
         700.0,
         FramingProblem::SpaceAbove,
         FramingProblem::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CanvasRoom room;
        room.bottom = c.bottom;
        EXPECT_EQ(PlanCrop(c.face, photo, s, t, room).problem, c.inside);
        room.extend = true;
        const Framing f = PlanCrop(c.face, photo, s, t, room);
        ASSERT_EQ(f.problem, c.extended);
        if (f.problem != FramingProblem::None) {
            continue;
        }
        EXPECT_LE(f.crop.y + f.crop.height, c.bottom.value_or(photo.height));
        EXPECT_TRUE(OverhangOf(f.crop, photo).Any());
        EXPECT_EQ(OverhangOf(f.crop, photo).bottom, 0);
        const FaceBox in = FaceInCrop(c.face, f.crop, s);
        EXPECT_TRUE(RatiosWellInside(VerticalFaceRatio(int(in.y), int(in.h), s.dst_height),
                                     HorizontalFaceRatio(int(in.w), s.dst_width), s));
    }
}

TEST(Framing, APhotoTooSmallToEnlargeIsTooSmallWhateverTheRoom) {
    const CheckSettings s = test::ShippedSettings();
    const FramingTargets t = TargetsFor(s);
    // A well-framed ID photo at an exam size: the face at the target ratios.
    const cv::Size photo(295, 413);
    const double w = (1 - t.ratio_x) * photo.width;
    const FaceBox face{(photo.width - w) / 2, 0.25 * photo.height, w, w, std::nullopt};
    for (const bool extend : {false, true}) {
        CanvasRoom room;
        room.extend = extend;
        const Framing f = PlanCrop(face, photo, s, t, room);
        ASSERT_EQ(f.problem, FramingProblem::TooSmall) << extend;
        EXPECT_TRUE(f.photo_too_small);
        EXPECT_NEAR(f.needed, 480.0 / 295, 0.01);
    }
    BlockerNumbers n;
    n.enlargement_needed = 480.0 / 295;
    n.enlargement_max = 1.5;
    n.width = 295;
    n.height = 413;
    n.min_width = 320;
    n.min_height = 448;
    CorrectionBlocker b{CorrectionRule::TooSmall, n};
    b.photo_too_small = true;
    EXPECT_EQ(BlockerText(b, s, ReviewResult()),
              "照片太小（295×413 像素），最多可放大 1.5 倍：请提供至少 320×448 像素的原图");
}

TEST_F(Correcting, EveryOrientationGivesAnUprightCropOfTheAspect) {
    const cv::Mat upright = OnCanvas({1201, 1599}, 1.4, {40, 820});
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        const Bytes bytes = Turned(upright, orientation);
        const Correction c = Run(bytes).correction;
        ASSERT_EQ(c.status, CorrectionStatus::Corrected) << Why(c);
        EXPECT_NEAR(c.crop.height, c.crop.width * 4.0 / 3.0, 1.0);
        EXPECT_TRUE((cv::Rect(0, 0, 1201, 1599) & c.crop) == c.crop);
    }
}

TEST(ImageInput, FormatsAndSizesFromTheirHeaders) {
    const cv::Mat photo(37, 53, CV_8UC3, cv::Scalar(10, 200, 30));
    for (const char* ext : {".png", ".webp", ".bmp", ".tiff", ".jpg"}) {
        SCOPED_TRACE(ext);
        const Bytes bytes = Encoded(photo, ext);
        const auto info = SniffImage(bytes.data(), bytes.size());
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(std::string(".") + FormatName(info->format),
                  std::string(ext) == ".jpg" ? ".jpeg" : ext);
        EXPECT_EQ(info->width, 53);
        EXPECT_EQ(info->height, 37);
        const DecodedImage decoded = DecodeImage(bytes.data(), bytes.size(), *info, 2);
        EXPECT_EQ(decoded.image.size(), cv::Size(27, 19));
    }
    const Bytes nothing = {'G', 'I', 'F', '8', '9', 'a'};
    EXPECT_FALSE(SniffImage(nothing.data(), nothing.size()).has_value());
}

// An OS/2 1.x bitmap: its 12-byte header gives the size in 16 bits.
Bytes Os2Bitmap(int width, int height, const cv::Scalar& bgr) {
    const int row = (width * 3 + 3) / 4 * 4;
    const uint32_t size = 26 + row * height;
    Bytes b = {'B', 'M'};
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) {
            b.push_back(static_cast<unsigned char>(v >> (8 * i)));
        }
    };
    put(size, 4);
    put(0, 4);
    put(26, 4);
    put(12, 4);
    put(width, 2);
    put(height, 2);
    put(1, 2);
    put(24, 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < row; ++x) {
            b.push_back(x < width * 3 ? static_cast<unsigned char>(bgr[x % 3]) : 0);
        }
    }
    return b;
}

TEST(ImageInput, AnOs2BitmapIsSizedAndDecoded) {
    const Bytes bmp = Os2Bitmap(53, 37, {10, 200, 30});
    const auto info = SniffImage(bmp.data(), bmp.size());
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(cv::Size(info->width, info->height), cv::Size(53, 37));
    const DecodedImage decoded = DecodeImage(bmp.data(), bmp.size(), *info, 1);
    ASSERT_EQ(decoded.image.size(), cv::Size(53, 37)) << decoded.error.Detail();
    EXPECT_EQ(decoded.image.at<cv::Vec3b>(5, 5), cv::Vec3b(10, 200, 30));
}

// A PNG with count tEXt chunks after its header.
Bytes WithTextChunks(Bytes png, int count) {
    auto crc = [](const unsigned char* p, size_t n) {
        uint32_t c = 0xFFFFFFFF;
        for (size_t i = 0; i < n; ++i) {
            c ^= p[i];
            for (int k = 0; k < 8; ++k) {
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
            }
        }
        return ~c;
    };
    Bytes chunks;
    for (int i = 0; i < count; ++i) {
        const std::string text = "Comment" + std::string(1, '\0') + "taken " + std::to_string(i);
        Bytes chunk = {0, 0, 0, static_cast<unsigned char>(text.size()), 't', 'E', 'X', 't'};
        chunk.insert(chunk.end(), text.begin(), text.end());
        const uint32_t sum = crc(chunk.data() + 4, chunk.size() - 4);
        for (int k = 3; k >= 0; --k) {
            chunk.push_back(static_cast<unsigned char>(sum >> (8 * k)));
        }
        chunks.insert(chunks.end(), chunk.begin(), chunk.end());
    }
    png.insert(png.begin() + 8 + 25, chunks.begin(), chunks.end()); // after IHDR
    return png;
}

// A photo's metadata is read; a thousand text chunks, which libpng would inflate one by one
// before the first row in a call nothing stops, are refused unread.
TEST(ImageInput, APngWithMoreTextThanAPhotoCarriesIsRefused) {
    const Bytes png = Encoded(cv::Mat(37, 53, CV_8UC3, cv::Scalar(10, 200, 30)), ".png");
    for (const int count : {3, 1000}) {
        SCOPED_TRACE(count);
        const Bytes text = WithTextChunks(png, count);
        const auto info = SniffImage(text.data(), text.size());
        ASSERT_TRUE(info.has_value());
        const DecodedImage decoded = DecodeImage(text.data(), text.size(), *info, 1);
        EXPECT_EQ(decoded.image.empty(), count > 32) << decoded.error.Detail();
    }
    // A text chunk that claims 1.5 GB in a small file is refused before libpng allocates it,
    // and so is one whose header is the last thing in the file (the fuzzer's find).
    Bytes lying = WithTextChunks(png, 1);
    lying[8 + 25] = 0x58;
    for (const Bytes& bytes : {lying, Bytes(lying.begin(), lying.begin() + 8 + 25 + 9)}) {
        const auto info = SniffImage(bytes.data(), bytes.size());
        ASSERT_TRUE(info.has_value());
        const DecodedImage decoded = DecodeImage(bytes.data(), bytes.size(), *info, 1);
        EXPECT_TRUE(decoded.image.empty());
        EXPECT_NE(decoded.error.Detail().find("runs past the end"), std::string::npos)
            << decoded.error.Detail();
    }
}

// PNG is read row by row and WebP in pieces: every kind comes out as the image library's own
// reader gives it, a photo that is not the size its header was read as is refused, and a
// limit that has passed stops it.
TEST(ImageInput, PngAndWebpAreReadInPiecesWithinTheirLimit) {
    cv::Mat gradient(41, 57, CV_8UC3);
    for (int y = 0; y < gradient.rows; ++y) {
        for (int x = 0; x < gradient.cols; ++x) {
            gradient.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 4, y * 6, (x + y) * 2);
        }
    }
    cv::Mat gray, deep, deep_gray;
    cv::cvtColor(gradient, gray, cv::COLOR_BGR2GRAY);
    gradient.convertTo(deep, CV_16UC3, 257);
    gray.convertTo(deep_gray, CV_16U, 257);
    auto webp = [&](int quality) {
        std::vector<unsigned char> bytes;
        cv::imencode(".webp", gradient, bytes, {cv::IMWRITE_WEBP_QUALITY, quality});
        return Bytes(bytes.begin(), bytes.end());
    };
    const struct {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"png", Encoded(gradient, ".png")},
        {"grey png", Encoded(gray, ".png")},
        {"16-bit png", Encoded(deep, ".png")},
        {"16-bit grey png", Encoded(deep_gray, ".png")},
        {"lossy webp", webp(80)},
        {"lossless webp", webp(101)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto info = SniffImage(c.bytes.data(), c.bytes.size());
        ASSERT_TRUE(info.has_value());
        const DecodedImage decoded = DecodeImage(c.bytes.data(), c.bytes.size(), *info, 1);
        const cv::Mat expected = cv::imdecode(c.bytes, cv::IMREAD_COLOR);
        ASSERT_EQ(decoded.image.size(), expected.size()) << decoded.error.Detail();
        EXPECT_EQ(cv::norm(decoded.image, expected, cv::NORM_INF), 0);

        ImageInfo other = *info;
        other.width += 1;
        EXPECT_TRUE(DecodeImage(c.bytes.data(), c.bytes.size(), other, 1).image.empty());
        WorkLimit ended;
        ended.deadline = WorkLimit::Clock::now();
        const DecodedImage stopped = DecodeImage(c.bytes.data(), c.bytes.size(), *info, 1, &ended);
        EXPECT_TRUE(stopped.image.empty());
        EXPECT_EQ(stopped.error.Code(), ErrorCode::Stopped);
    }
}

// A picture in the TIFF layouts photos come in, written by libtiff itself; each is decoded to
// what was written, within the work limit.
struct TiffLayoutCase {
    const char* what;
    uint16_t photometric, bits, samples, compression, orientation;
    uint32_t rows_per_strip; // 0: tiles of 16
};

Bytes WrittenTiff(const cv::Mat& bgr, const TiffLayoutCase& c, const std::string& path) {
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(bgr.cols));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(bgr.rows));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, c.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, c.samples);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, c.photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, c.compression);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, c.orientation);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (c.samples == 4) {
        const uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &alpha);
    }
    std::vector<uint16_t> map(256);
    for (int i = 0; i < 256; ++i) {
        map[i] = static_cast<uint16_t>(i * 257);
    }
    if (c.photometric == PHOTOMETRIC_PALETTE) {
        TIFFSetField(tiff, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
    }
    const int bytes = c.bits / 8;
    auto sample = [&](int y, int x, int s) -> unsigned { // in file order, top row first
        const int row = c.orientation == ORIENTATION_BOTLEFT ? bgr.rows - 1 - y : y;
        if (row >= bgr.rows || x >= bgr.cols) {
            return 0;
        }
        const unsigned v = c.samples >= 3 ? (s == 3 ? 255 : bgr.at<cv::Vec3b>(row, x)[2 - s])
                                          : grey.at<unsigned char>(row, x);
        return c.photometric == PHOTOMETRIC_MINISWHITE ? 255 - v : v;
    };
    auto fill = [&](std::vector<unsigned char>& out, int y0, int x0, int rows, int cols) {
        out.assign(size_t(rows) * cols * c.samples * bytes, 0);
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < cols; ++x) {
                for (int s = 0; s < c.samples; ++s) {
                    const unsigned v = sample(y0 + y, x0 + x, s) * (bytes == 2 ? 257 : 1);
                    unsigned char* to = &out[((size_t(y) * cols + x) * c.samples + s) * bytes];
                    std::memcpy(to, &v, bytes); // little-endian host: the low byte first
                }
            }
        }
    };
    std::vector<unsigned char> piece;
    if (c.rows_per_strip == 0) {
        TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16u);
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16u);
        for (int y = 0; y < bgr.rows; y += 16) {
            for (int x = 0; x < bgr.cols; x += 16) {
                fill(piece, y, x, 16, 16);
                TIFFWriteTile(tiff, piece.data(), x, y, 0, 0);
            }
        }
    } else {
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, c.rows_per_strip);
        for (int y = 0; y < bgr.rows; ++y) {
            fill(piece, y, 0, 1, bgr.cols);
            TIFFWriteScanline(tiff, piece.data(), y, 0);
        }
    }
    TIFFClose(tiff);
    return test::ReadBytes(path);
}

TEST(ImageInput, TiffLayoutsAreDecodedAsWrittenWithinTheirLimit) {
    cv::Mat gradient(41, 57, CV_8UC3);
    for (int y = 0; y < gradient.rows; ++y) {
        for (int x = 0; x < gradient.cols; ++x) {
            gradient.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 4, y * 6, (x + y) * 2);
        }
    }
    cv::Mat grey;
    cv::cvtColor(gradient, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, grey, cv::COLOR_GRAY2BGR);
    const TiffLayoutCase cases[] = {
        {"rgb, strips of 8, lzw", PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW, ORIENTATION_TOPLEFT, 8},
        {"rgb, one strip, deflate", PHOTOMETRIC_RGB, 8, 3, COMPRESSION_ADOBE_DEFLATE,
         ORIENTATION_TOPLEFT, 41},
        {"rgb and alpha", PHOTOMETRIC_RGB, 8, 4, COMPRESSION_NONE, ORIENTATION_TOPLEFT, 5},
        {"grey, one strip", PHOTOMETRIC_MINISBLACK, 8, 1, COMPRESSION_NONE, ORIENTATION_TOPLEFT,
         41},
        {"grey, white is zero", PHOTOMETRIC_MINISWHITE, 8, 1, COMPRESSION_LZW, ORIENTATION_TOPLEFT,
         41},
        {"palette", PHOTOMETRIC_PALETTE, 8, 1, COMPRESSION_PACKBITS, ORIENTATION_TOPLEFT, 3},
        {"rgb, tiles of 16", PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW, ORIENTATION_TOPLEFT, 0},
        {"16-bit rgb", PHOTOMETRIC_RGB, 16, 3, COMPRESSION_NONE, ORIENTATION_TOPLEFT, 7},
        {"stored bottom row first", PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW, ORIENTATION_BOTLEFT, 4},
    };
    test::TempDir dir;
    for (const TiffLayoutCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes bytes = WrittenTiff(gradient, c, dir.File("photo.tif"));
        const auto info = SniffImage(bytes.data(), bytes.size());
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(cv::Size(info->width, info->height), gradient.size());
        const DecodedImage decoded = DecodeImage(bytes.data(), bytes.size(), *info, 1);
        ASSERT_EQ(decoded.image.size(), gradient.size()) << decoded.error.Detail();
        const cv::Mat& expected = c.photometric == PHOTOMETRIC_RGB ? gradient : grey;
        EXPECT_EQ(cv::norm(decoded.image, expected, cv::NORM_INF), 0);

        ImageInfo other = *info;
        other.height += 1;
        EXPECT_TRUE(DecodeImage(bytes.data(), bytes.size(), other, 1).image.empty());
        WorkLimit ended;
        ended.deadline = WorkLimit::Clock::now();
        EXPECT_EQ(DecodeImage(bytes.data(), bytes.size(), *info, 1, &ended).error.Code(),
                  ErrorCode::Stopped);
    }
}

// The real photos, saved as TIFF by OpenCV, decode to the pixels OpenCV's own TIFF decoder gives.
TEST(ImageInput, RealPhotosAsTiffDecodeAsOpenCvDecodesThem) {
    int photos = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(VREL_SOURCE_DIR "/tests/data/correction")) {
        const cv::Mat photo = cv::imread(entry.path().string(), cv::IMREAD_COLOR);
        if (photo.empty()) {
            continue;
        }
        SCOPED_TRACE(entry.path().filename().string());
        ++photos;
        const Bytes bytes = Encoded(photo, ".tiff");
        const auto info = SniffImage(bytes.data(), bytes.size());
        ASSERT_TRUE(info.has_value());
        const DecodedImage decoded = DecodeImage(bytes.data(), bytes.size(), *info, 1);
        ASSERT_FALSE(decoded.image.empty()) << decoded.error.Detail();
        EXPECT_EQ(cv::norm(decoded.image, cv::imdecode(bytes, cv::IMREAD_COLOR), cv::NORM_INF), 0);
    }
    EXPECT_GE(photos, 20);
}

// A little-endian TIFF of the given fields, in the order given, then `data` bytes of zeros;
// kDataAt stands for the offset of those bytes.
struct TiffField {
    uint16_t tag, type;
    std::vector<uint32_t> values;
};
constexpr uint32_t kDataAt = 0xFFFFFFFF;

Bytes BuiltTiff(const std::vector<TiffField>& fields, size_t data) {
    auto put = [](Bytes& to, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) {
            to.push_back(static_cast<unsigned char>(v >> (8 * i)));
        }
    };
    auto width = [](const TiffField& f) { return f.type == 3 || f.type == 8 ? 2 : 4; };
    const size_t arrays_at = 8 + 2 + fields.size() * 12 + 4;
    size_t arrays_size = 0;
    for (const TiffField& f : fields) {
        const size_t n = f.values.size() * width(f);
        arrays_size += n > 4 ? n : 0;
    }
    const auto data_at = static_cast<uint32_t>(arrays_at + arrays_size);
    Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0}, arrays;
    put(tiff, static_cast<uint32_t>(fields.size()), 2);
    for (const TiffField& f : fields) {
        put(tiff, f.tag, 2);
        put(tiff, f.type, 2);
        put(tiff, static_cast<uint32_t>(f.values.size()), 4);
        Bytes& to = f.values.size() * width(f) > 4 ? arrays : tiff;
        if (&to == &arrays) {
            put(tiff, static_cast<uint32_t>(arrays_at + arrays.size()), 4);
        }
        const size_t start = to.size();
        for (uint32_t v : f.values) {
            put(to, v == kDataAt ? data_at : v, width(f));
        }
        to.resize(std::max(to.size(), start + 4), 0);
    }
    put(tiff, 0, 4);
    tiff.insert(tiff.end(), arrays.begin(), arrays.end());
    tiff.resize(tiff.size() + data, 0);
    return tiff;
}

// A TIFF's size is what libtiff reads: the first of a tag given twice, whatever its integer
// type; what it holds besides the picture is counted with it. A small file that declares a
// giant first, or a strip or tile far larger than its picture, is refused unread.
TEST(ImageInput, ATiffIsSizedAsItsDecoderAllocates) {
    const std::vector<TiffField> rgb = {{258, 3, {8, 8, 8}}, {259, 3, {1}}, {262, 3, {2}}};
    const std::vector<TiffField> palette = {{258, 3, {8}}, {259, 3, {5}}, {262, 3, {3}}};
    auto with = [](std::vector<TiffField> fields, const std::vector<TiffField>& more) {
        fields.insert(fields.end(), more.begin(), more.end());
        std::sort(fields.begin(), fields.end(),
                  [](const TiffField& a, const TiffField& b) { return a.tag < b.tag; });
        return fields;
    };
    auto strips = [](uint32_t rows, uint32_t bytes) {
        return std::vector<TiffField>{
            {273, 4, {kDataAt}}, {277, 3, {3}}, {278, 4, {rows}}, {279, 4, {bytes}}};
    };
    auto tiles = [](uint32_t width, uint32_t height, int count) {
        return std::vector<TiffField>{{277, 3, {3}},
                                      {322, 4, {width}},
                                      {323, 4, {height}},
                                      {324, 4, std::vector<uint32_t>(count, kDataAt)},
                                      {325, 4, std::vector<uint32_t>(count, 6000)}};
    };
    const struct {
        const char* what;
        std::vector<TiffField> fields;
        cv::Size size;
        bool refused;
    } cases[] = {
        {"LONG given twice",
         with(rgb, with(strips(12000, 6000),
                        {{256, 4, {12000}}, {256, 4, {100}}, {257, 4, {12000}}, {257, 4, {100}}})),
         {12000, 12000},
         true},
        {"SLONG, then SHORT",
         with(rgb, with(strips(30000, 6000),
                        {{256, 9, {30000}}, {256, 3, {600}}, {257, 9, {30000}}, {257, 3, {800}}})),
         {30000, 30000},
         true},
        {"one tile far larger",
         with(rgb, with(tiles(16384, 16368, 1), {{256, 3, {600}}, {257, 3, {800}}})),
         {600, 800},
         true},
        {"tiles of 256",
         with(rgb, with(tiles(256, 256, 12), {{256, 3, {600}}, {257, 3, {800}}})),
         {600, 800},
         false},
        {"48 MP in one compressed strip, read by scanlines",
         with(rgb, with(strips(8000, 6000), {{256, 4, {6000}}, {257, 4, {8000}}})),
         {6000, 8000},
         false},
        {"a palette of 36 MP in one strip, decoded whole",
         with(palette, with(strips(6000, 6000), {{256, 4, {6000}},
                                                 {257, 4, {6000}},
                                                 {277, 3, {1}},
                                                 {320, 3, std::vector<uint32_t>(768, 0)}})),
         {6000, 6000},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes tiff = BuiltTiff(c.fields, 6000);
        const auto info = SniffImage(tiff.data(), tiff.size());
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(cv::Size(info->width, info->height), c.size);
        EXPECT_EQ(info->DecodedPixels() > kMaxDecodedPixels, c.refused) << info->DecodedPixels();
        if (c.refused) {
            const DecodedImage decoded = DecodeImage(tiff.data(), tiff.size(), *info, 1);
            EXPECT_TRUE(decoded.image.empty());
            EXPECT_EQ(decoded.error.Code(), ErrorCode::Unsupported);
        }
    }
}

} // namespace
} // namespace vrel
