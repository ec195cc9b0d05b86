#include "check/hsi.h"

#include <gtest/gtest.h>

namespace vrel {
namespace {

struct HsiCase {
    int r, g, b;
    int hue, saturation, intensity;
};

class HsiTable : public ::testing::TestWithParam<HsiCase> {};

TEST_P(HsiTable, PixelBytes) {
    const HsiCase& c = GetParam();
    const HsiBytes p =
        PixelToHsi(static_cast<uint8_t>(c.b), static_cast<uint8_t>(c.g), static_cast<uint8_t>(c.r));
    EXPECT_EQ(p.hue, c.hue);
    EXPECT_EQ(p.saturation, c.saturation);
    EXPECT_EQ(p.intensity, c.intensity);
}

TEST_P(HsiTable, ImageConversionMatchesPixel) {
    const HsiCase& c = GetParam();
    // An image with gaps between its rows, converted into one that has none.
    cv::Mat big(5, 7, CV_8UC3, cv::Scalar(c.b, c.g, c.r));
    cv::Mat src = big(cv::Rect(1, 1, 4, 3));
    cv::Mat dst(src.size(), CV_8UC3, cv::Scalar(9, 9, 9));
    ConvertToHsi(src, dst);
    for (int y = 0; y < dst.rows; ++y) {
        for (int x = 0; x < dst.cols; ++x) {
            EXPECT_EQ(dst.at<cv::Vec3b>(y, x), cv::Vec3b(c.hue, c.saturation, c.intensity));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HsiTable,
    ::testing::Values(HsiCase{0, 0, 0, 0, 0, 0}, HsiCase{255, 255, 255, 0, 0, 255},
                      HsiCase{255, 0, 0, 0, 255, 85}, HsiCase{0, 255, 0, 119, 255, 85},
                      HsiCase{0, 0, 255, 240, 255, 85}, HsiCase{255, 255, 0, 59, 255, 170},
                      HsiCase{0, 255, 255, 179, 255, 170}, HsiCase{255, 0, 255, 44, 255, 170},
                      HsiCase{173, 173, 173, 0, 0, 172}, HsiCase{128, 128, 128, 0, 0, 128},
                      HsiCase{200, 100, 100, 0, 63, 133}, HsiCase{100, 200, 200, 179, 101, 166},
                      // q rounds just below -1: the hue is undefined and stored as 0
                      HsiCase{1, 4, 4, 0, 170, 3}));

TEST(HsiGreyLevels, ElevenLevelsLoseOneInIntensity) {
    for (int level = 0; level <= 255; ++level) {
        const bool one_below = level >= 173 && level <= 253 && (level - 173) % 8 == 0;
        const HsiBytes p = PixelToHsi(level, level, level);
        EXPECT_EQ(p.intensity, one_below ? level - 1 : level) << "grey " << level;
        EXPECT_EQ(p.hue, 0);
        EXPECT_EQ(p.saturation, 0);
    }
}

TEST(HsiImage, EmptyImageLeavesDestinationAlone) {
    cv::Mat src(0, 0, CV_8UC3);
    cv::Mat dst(0, 0, CV_8UC3);
    ConvertToHsi(src, dst);
    EXPECT_TRUE(dst.empty());
}

} // namespace
} // namespace vrel
