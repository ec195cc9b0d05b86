#pragma once

#include <opencv2/core.hpp>

namespace vrel {

// The colour guided filter (He, Sun and Tang): within every (2 radius + 1)-square window the
// output is a linear function of the guide's three colours, fitted to the input by least squares
// with the ridge eps. Returns the averaged coefficients of that function, CV_32FC4 (the weights
// of blue, green and red, then the offset), so that the filtered value of a pixel with colour c
// (0..1) is w·c + offset. Applied to a sharper copy of the guide, the same coefficients give the
// filtered value at that copy's resolution.
//
// guide: CV_8UC3; input: CV_32F or CV_8U (taken as 0..1 for 8-bit), the guide's size.
cv::Mat GuidedFilterCoefficients(const cv::Mat& guide, const cv::Mat& input, int radius,
                                 double eps);

// Applies coefficients to a guide of the same size: CV_32F.
cv::Mat ApplyGuidedCoefficients(const cv::Mat& coefficients, const cv::Mat& guide);

} // namespace vrel
