#include "quality/measures.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace vrel::quality {

MeanColour MeasureColour(const FaceView& view) {
    const cv::Scalar mean = cv::mean(view.bgr(view.inner));
    cv::Mat3f colour(1, 1,
                     cv::Vec3f(float(mean[0] / 255), float(mean[1] / 255), float(mean[2] / 255)));
    cv::cvtColor(colour, colour, cv::COLOR_BGR2Lab);
    const cv::Vec3f lab = colour(0, 0);
    MeanColour result;
    result.chroma = std::hypot(double(lab[1]), double(lab[2]));
    const double hue = std::atan2(double(lab[2]), double(lab[1])) * 180.0 / CV_PI;
    result.hue = hue < 0 ? hue + 360.0 : hue;
    return result;
}

} // namespace vrel::quality
