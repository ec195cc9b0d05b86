#include "check/face.h"

#include "test_support.h"

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

namespace vrel {
namespace {

TEST(FaceRatios, VerticalRatioTruncatesTheCentre) {
    EXPECT_EQ(VerticalFaceRatio(100, 101, 640), 0.6472656f);
    EXPECT_NE(VerticalFaceRatio(100, 101, 640), 0.6464844f);
}

TEST(FaceRatios, HorizontalRatio) {
    EXPECT_EQ(HorizontalFaceRatio(200, 480), 0.5833333f);
}

struct CentreCase {
    int x;
    int32_t diff;
    FaceCheckOutcome outcome;
};

class Centring : public ::testing::TestWithParam<CentreCase> {};

TEST_P(Centring, DifferenceMustStayBelowTheBound) {
    CheckSettings s; // dst_width 480, face_left_right_dif 10
    s.ratio_y_min = -10.0f;
    s.ratio_y_max = 10.0f;
    s.ratio_x_min = -10.0f;
    s.ratio_x_max = 10.0f;
    const FacePlacement p = JudgeFaces({cv::Rect(GetParam().x, 200, 200, 200)}, s);
    EXPECT_EQ(CentreDifference(GetParam().x, 200, 480), GetParam().diff);
    ASSERT_TRUE(p.centre_diff.has_value());
    EXPECT_EQ(*p.centre_diff, GetParam().diff);
    EXPECT_EQ(p.outcome, GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(Table, Centring,
                         ::testing::Values(CentreCase{144, 8, FaceCheckOutcome::Pass},
                                           CentreCase{145, 10, FaceCheckOutcome::NotCentred},
                                           CentreCase{136, -8, FaceCheckOutcome::Pass},
                                           CentreCase{135, -10, FaceCheckOutcome::NotCentred}));

TEST(FaceJudgement, CountMustBeExactlyOne) {
    CheckSettings s;
    EXPECT_EQ(JudgeFaces({}, s).outcome, FaceCheckOutcome::FaceCountWrong);
    const FacePlacement two = JudgeFaces({cv::Rect(0, 0, 100, 100), cv::Rect(200, 0, 100, 100)}, s);
    EXPECT_EQ(two.outcome, FaceCheckOutcome::FaceCountWrong);
    EXPECT_FALSE(two.ratio_y.has_value());
}

TEST(FaceJudgement, DefaultBoundsRejectEveryFace) {
    EXPECT_EQ(JudgeFaces({cv::Rect(140, 100, 200, 200)}, CheckSettings{}).outcome,
              FaceCheckOutcome::PlacementWrong);
}

TEST(FaceJudgement, RatioEqualToABoundFails) {
    CheckSettings s;
    s.ratio_y_min = 0.0f;
    s.ratio_y_max = 1.0f;
    s.ratio_x_min = 0.5833333f; // exactly the ratio of w = 200
    s.ratio_x_max = 1.0f;
    s.face_left_right_dif = 1000;
    EXPECT_EQ(JudgeFaces({cv::Rect(140, 100, 200, 200)}, s).outcome,
              FaceCheckOutcome::PlacementWrong);
    s.ratio_x_min = 0.58f;
    EXPECT_EQ(JudgeFaces({cv::Rect(140, 100, 200, 200)}, s).outcome, FaceCheckOutcome::Pass);
    // Between the truncated and the untruncated vertical ratio of y 100, h 101.
    s.ratio_y_min = 0.647f;
    EXPECT_EQ(JudgeFaces({cv::Rect(140, 100, 200, 101)}, s).outcome, FaceCheckOutcome::Pass);
}

TEST(FaceDetection, RealPortraitHasOneFace) {
    const cv::Mat photo = cv::imread(test::SamplePath("pixel-size-out-of-range.jpg"));
    ASSERT_FALSE(photo.empty());
    FaceDetector detector(test::AppDataDir() + kCascadeFileName);
    ASSERT_TRUE(detector.Loaded());
    const auto faces = detector.Detect(photo, CheckSettings{});
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_EQ(faces[0], cv::Rect(149, 102, 229, 229));
}

TEST(FaceDetection, MissingCascadeFindsNoFace) {
    const cv::Mat photo = cv::imread(test::SamplePath("pixel-size-out-of-range.jpg"));
    CheckSettings s;
    const FacePlacement p = CheckFacePlacement(photo, s, "/nonexistent/cascade.xml");
    EXPECT_EQ(p.outcome, FaceCheckOutcome::FaceCountWrong);
    EXPECT_TRUE(p.faces.empty());
}

} // namespace
} // namespace vrel
