#include "check/face.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace vrel {

int FaceCentreRow(int y, int h) {
    return static_cast<int>(y + 0.5 * h);
}

float ChinLine(int y, int h) {
    return static_cast<float>(FaceCentreRow(y, h) + 0.75 * h);
}

float VerticalFaceRatio(int y, int h, int dst_height) {
    return static_cast<float>(1.0 - static_cast<double>(ChinLine(y, h)) / dst_height);
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
    const CheckSettings& s = settings;
    if (result.faces.size() != 1) {
        result.outcome = FaceCheckOutcome::FaceCountWrong;
        result.failed = {Rule::FaceCount, double(result.faces.size()), 1.0, 1.0};
        return result;
    }
    const cv::Rect& f = result.faces.front();
    result.centre_row = FaceCentreRow(f.y, f.height);
    result.chin_line = ChinLine(f.y, f.height);
    const float ry = VerticalFaceRatio(f.y, f.height, s.dst_height);
    const float rx = HorizontalFaceRatio(f.width, s.dst_width);
    result.ratio_y = ry;
    result.ratio_x = rx;
    if (!InOpenInterval(ry, s.ratio_y_min, s.ratio_y_max)) {
        result.outcome = FaceCheckOutcome::PlacementWrong;
        result.failed = {Rule::RatioY, double(ry), double(s.ratio_y_min), double(s.ratio_y_max)};
        return result;
    }
    if (!InOpenInterval(rx, s.ratio_x_min, s.ratio_x_max)) {
        result.outcome = FaceCheckOutcome::PlacementWrong;
        result.failed = {Rule::RatioX, double(rx), double(s.ratio_x_min), double(s.ratio_x_max)};
        return result;
    }
    const int32_t d = CentreDifference(f.x, f.width, s.dst_width);
    result.centre_diff = d;
    if (std::abs(d) < s.face_left_right_dif) {
        result.outcome = FaceCheckOutcome::Pass;
    } else {
        result.outcome = FaceCheckOutcome::NotCentred;
        result.failed = {Rule::Centring, double(d), std::nullopt, double(s.face_left_right_dif)};
    }
    return result;
}

Error FaceDetector::LoadError() const {
    if (Loaded()) {
        return {};
    }
    return {ErrorCode::Unreadable,
            "cannot load the face detector '" + path_ + "': the file is missing or unreadable"};
}

FaceDetector::FaceDetector(const std::string& cascade_path) : path_(cascade_path) {
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
    return Detect(photo, settings.jc_precision, cv::Size(10, 100));
}

std::vector<cv::Rect> FaceDetector::Detect(const cv::Mat& photo, int min_neighbours,
                                           cv::Size min_size) {
    std::vector<cv::Rect> faces;
    if (classifier_.empty() || photo.empty()) {
        return faces;
    }
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    cv::equalizeHist(grey, grey);
    classifier_.detectMultiScale(grey, faces, 1.1, min_neighbours, cv::CASCADE_SCALE_IMAGE,
                                 min_size, cv::Size(0, 0));
    return faces;
}

FacePlacement CheckFacePlacement(const cv::Mat& photo, const CheckSettings& settings,
                                 const std::string& cascade_path) {
    FaceDetector detector(cascade_path);
    return JudgeFaces(detector.Detect(photo, settings), settings);
}

} // namespace vrel
