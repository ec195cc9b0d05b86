#include "check/face.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace vrel {

float VerticalFaceRatio(int y, int h, int dst_height) {
    const int c = static_cast<int>(y + 0.5 * h);
    const float line = static_cast<float>(c + 0.75 * h);
    return static_cast<float>(1.0 - static_cast<double>(line) / dst_height);
}

float HorizontalFaceRatio(int w, int dst_width) {
    return static_cast<float>(1.0 - static_cast<double>(w) / dst_width);
}

int32_t CentreDifference(int x, int w, int dst_width) {
    // In 64 bits and clamped, so absurd widths in the settings cannot overflow.
    const int64_t d = 2 * int64_t{x} + w - dst_width;
    return static_cast<int32_t>(std::clamp<int64_t>(d, -INT32_MAX, INT32_MAX));
}

FacePlacement JudgeFaces(std::vector<cv::Rect> faces, const CheckSettings& settings) {
    FacePlacement result;
    result.faces = std::move(faces);
    if (result.faces.size() != 1) {
        result.outcome = FaceCheckOutcome::FaceCountWrong;
        return result;
    }
    const cv::Rect& f = result.faces.front();
    const float ry = VerticalFaceRatio(f.y, f.height, settings.dst_height);
    const float rx = HorizontalFaceRatio(f.width, settings.dst_width);
    result.ratio_y = ry;
    result.ratio_x = rx;
    if (!(settings.ratio_y_min < ry && ry < settings.ratio_y_max && settings.ratio_x_min < rx &&
          rx < settings.ratio_x_max)) {
        result.outcome = FaceCheckOutcome::PlacementWrong;
        return result;
    }
    const int32_t d = CentreDifference(f.x, f.width, settings.dst_width);
    result.centre_diff = d;
    result.outcome = std::abs(d) < settings.face_left_right_dif ? FaceCheckOutcome::Pass
                                                                : FaceCheckOutcome::NotCentred;
    return result;
}

FaceDetector::FaceDetector(const std::string& cascade_path) {
    // CascadeClassifier::load reports a missing file on standard error; look first.
    std::error_code ec;
    if (std::filesystem::is_regular_file(cascade_path, ec)) {
        try {
            classifier_.load(cascade_path);
        } catch (const cv::Exception&) {
            classifier_ = cv::CascadeClassifier();
        }
    }
}

std::vector<cv::Rect> FaceDetector::Detect(const cv::Mat& photo, const CheckSettings& settings) {
    std::vector<cv::Rect> faces;
    if (classifier_.empty() || photo.empty()) {
        return faces;
    }
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    cv::equalizeHist(grey, grey);
    classifier_.detectMultiScale(grey, faces, 1.1, settings.jc_precision, cv::CASCADE_SCALE_IMAGE,
                                 cv::Size(10, 100), cv::Size(0, 0));
    return faces;
}

FacePlacement CheckFacePlacement(const cv::Mat& photo, const CheckSettings& settings,
                                 const std::string& cascade_path) {
    FaceDetector detector(cascade_path);
    return JudgeFaces(detector.Detect(photo, settings), settings);
}

} // namespace vrel
