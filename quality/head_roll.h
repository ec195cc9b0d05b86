#pragma once

#include "quality/advisories.h"

#include <opencv2/core.hpp>

#include <optional>

namespace vrel {

// Measures of one head at different scales agree within this many degrees.
inline constexpr double kRollAgreement = 3.0;

// The head's roll in degrees (positive: leaning counter-clockwise) from the eyes in the face box:
// from the face mesh's eye corners, or without the mesh network from the eye detector. That
// detector now and then takes a brow for an eye at one scale and not at the next, so the face is
// then measured at three scales and the roll counts only where two of them agree; nullopt
// otherwise.
std::optional<double> MeasureHeadRoll(const cv::Mat& photo, const cv::Rect& face,
                                      QualityAdvisor& advisor);

} // namespace vrel
