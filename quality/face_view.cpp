#include "quality/measures.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vrel::quality {

cv::Mat Halve(const cv::Mat& grey) {
    // Even sides take the resize's exact halving, several times faster than a fraction.
    cv::Mat half;
    cv::resize(grey(cv::Rect(0, 0, grey.cols & ~1, grey.rows & ~1)), half,
               cv::Size(grey.cols / 2, grey.rows / 2), 0, 0, cv::INTER_AREA);
    return half;
}

std::optional<FaceView> MakeFaceView(const cv::Mat& photo, const cv::Rect& face, int work_width) {
    if (photo.empty() || photo.type() != CV_8UC3 || face.width <= 0 || face.height <= 0) {
        return std::nullopt;
    }
    const cv::Rect box = face & cv::Rect(0, 0, photo.cols, photo.rows);
    // A box mostly outside the photo is not the face the review found.
    if (box.width < kMinFaceWidth || box.height < kMinFaceWidth ||
        2 * int64_t(box.width) * box.height < int64_t(face.width) * face.height) {
        return std::nullopt;
    }
    FaceView view;
    view.box = box;
    cv::cvtColor(photo(box), view.full_grey, cv::COLOR_BGR2GRAY);
    view.grey = view.full_grey;
    while (view.grey.cols >= 2 * work_width) {
        view.grey = Halve(view.grey);
    }
    view.detail_scale = std::max(1.0, double(view.grey.cols) / work_width);
    if (view.grey.size() == box.size()) {
        view.bgr = photo(box);
    } else {
        // Colour and light are means: samples serve them.
        cv::resize(photo(box), view.bgr, view.grey.size(), 0, 0, cv::INTER_NEAREST);
    }
    const int w = view.grey.cols;
    const int h = view.grey.rows;
    // The face detector's box reaches from the forehead to the chin and over the ears; the
    // middle 60 % of its width from a fifth down to 85 % holds eyes, nose, mouth and cheeks.
    view.inner = cv::Rect(int(std::lround(0.2 * w)), int(std::lround(0.2 * h)),
                          int(std::lround(0.6 * w)), int(std::lround(0.65 * h)));
    return view;
}

} // namespace vrel::quality
