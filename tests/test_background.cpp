#include "check/background.h"

#include <gtest/gtest.h>

namespace vrel {
namespace {

CheckSettings WhiteRule() {
    CheckSettings s;
    s.s_min = 0.2f;
    s.i_max = 0.8f;
    return s;
}

CheckSettings BlueRule(int bgc = 1) {
    CheckSettings s = WhiteRule();
    s.bgc = bgc;
    s.blue_h_min = 200;
    s.blue_h_max = 250;
    s.blue_s_min = 0.3f;
    s.blue_s_max = 1.0f;
    s.i_min = 0.2f;
    return s;
}

struct PixelCase {
    const char* what;
    CheckSettings settings;
    int hue, sat, val;
    bool passes;
};

class PixelRule : public ::testing::TestWithParam<PixelCase> {};

TEST_P(PixelRule, Judged) {
    const PixelCase& c = GetParam();
    EXPECT_EQ(BackgroundPixelPasses(c.hue, c.sat, c.val, c.settings), c.passes) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PixelRule,
    ::testing::Values(
        PixelCase{"defaults reject white", CheckSettings{}, 0, 0, 255, false},
        PixelCase{"saturation byte 51 is 0.2: not below", WhiteRule(), 0, 51, 255, false},
        PixelCase{"saturation byte 50 is below 0.2", WhiteRule(), 0, 50, 255, true},
        PixelCase{"value byte 204 is 0.8: not above", WhiteRule(), 0, 0, 204, false},
        PixelCase{"value byte 205 is above 0.8", WhiteRule(), 0, 0, 205, true},
        PixelCase{"pure blue passes the blue rule", BlueRule(), 240, 255, 255, true},
        PixelCase{"pure blue fails the white rule", WhiteRule(), 240, 255, 255, false},
        PixelCase{"blue with bgc 2 is judged as white", BlueRule(2), 240, 255, 255, false},
        PixelCase{"hue at the lower bound", BlueRule(), 200, 255, 255, true},
        PixelCase{"hue at the upper bound", BlueRule(), 250, 255, 255, true},
        PixelCase{"hue below the bound", BlueRule(), 199, 255, 255, false},
        PixelCase{"hue above the bound", BlueRule(), 251, 255, 255, false},
        PixelCase{"saturation at the upper bound 1.0", BlueRule(), 220, 255, 255, true},
        PixelCase{"magenta's hue byte 44", BlueRule(), 44, 255, 255, false},
        PixelCase{"value equal to i_min fails blue, then white", BlueRule(), 220, 128, 51, false},
        PixelCase{"value equal to i_min, white pixel", BlueRule(), 220, 0, 255, true}));

TEST(PixelRuleBounds, BlueSaturationLowerBoundIsInclusive) {
    // Pick a saturation setting equal to a byte's fraction, so equality is exact.
    CheckSettings s = BlueRule();
    s.blue_s_min = static_cast<float>(77 / 255.0);
    EXPECT_TRUE(BackgroundPixelPasses(220, 77, 255, s));
    EXPECT_FALSE(BackgroundPixelPasses(220, 76, 255, s));
}

cv::Mat Photo(const cv::Scalar& bgr, int width = 480, int height = 640) {
    return cv::Mat(height, width, CV_8UC3, bgr);
}

TEST(BackgroundCheck, WhitePhotoPasses) {
    EXPECT_TRUE(CheckBackground(Photo(cv::Scalar(255, 255, 255)), WhiteRule()).passed);
}

TEST(BackgroundCheck, BluePhotoPassesOnlyWithBgc1) {
    const cv::Mat blue = Photo(cv::Scalar(255, 0, 0));
    EXPECT_TRUE(CheckBackground(blue, BlueRule(1)).passed);
    EXPECT_FALSE(CheckBackground(blue, BlueRule(2)).passed);
}

TEST(BackgroundCheck, LeftStripIsScannedFirstRowByRow) {
    cv::Mat photo = Photo(cv::Scalar(255, 255, 255));
    photo.at<cv::Vec3b>(100, 470) = cv::Vec3b(0, 0, 0); // right strip
    photo.at<cv::Vec3b>(5, 14) = cv::Vec3b(0, 0, 0);    // left strip, last column
    photo.at<cv::Vec3b>(6, 0) = cv::Vec3b(0, 0, 0);     // left strip, a row lower
    const BackgroundOutcome out = CheckBackground(photo, WhiteRule());
    ASSERT_FALSE(out.passed);
    ASSERT_TRUE(out.failed_pixel.has_value());
    EXPECT_EQ(out.failed_pixel->strip, Strip::Left);
    EXPECT_EQ(out.failed_pixel->row, 5);
    EXPECT_EQ(out.failed_pixel->col, 14);
}

TEST(BackgroundCheck, OnlyTheStripsAreSampled) {
    cv::Mat photo = Photo(cv::Scalar(255, 255, 255));
    photo.col(15).setTo(cv::Scalar(0, 0, 0));  // just right of the left strip
    photo.col(464).setTo(cv::Scalar(0, 0, 0)); // just left of the right strip
    photo.row(138).setTo(cv::Scalar(0, 0, 0)); // just below the strips
    EXPECT_TRUE(CheckBackground(photo, WhiteRule()).passed);
    photo.at<cv::Vec3b>(137, 465) = cv::Vec3b(0, 0, 0);
    const BackgroundOutcome out = CheckBackground(photo, WhiteRule());
    ASSERT_TRUE(out.failed_pixel.has_value());
    EXPECT_EQ(out.failed_pixel->strip, Strip::Right);
    EXPECT_EQ(out.failed_pixel->row, 137);
    EXPECT_EQ(out.failed_pixel->col, 465);
}

struct RegionCase {
    int jc_row, jc_col;
    bool passes;
};

class Region : public ::testing::TestWithParam<RegionCase> {};

TEST_P(Region, EmptyFailsAndOversizedIsClippedToThePhoto) {
    CheckSettings s = WhiteRule();
    s.jc_row = GetParam().jc_row;
    s.jc_col = GetParam().jc_col;
    EXPECT_EQ(CheckBackground(Photo(cv::Scalar(255, 255, 255)), s).passed, GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(Table, Region,
                         ::testing::Values(RegionCase{0, 15, false}, RegionCase{138, 0, false},
                                           RegionCase{-3, 15, false}, RegionCase{138, -1, false},
                                           RegionCase{5000, 15, true}, RegionCase{138, 5000, true},
                                           RegionCase{640, 480, true},
                                           RegionCase{2147483647, 2147483647, true}));

TEST(BackgroundCheck, RightStripFollowsDstWidthNotBeyondThePhoto) {
    CheckSettings s = WhiteRule();
    s.dst_width = 100000; // larger than the photo: nothing outside it is read
    EXPECT_TRUE(CheckBackground(Photo(cv::Scalar(255, 255, 255)), s).passed);
}

} // namespace
} // namespace vrel
