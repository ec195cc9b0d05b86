#pragma once

// Portraits for tests and benchmarks: a real portrait (tests/data/grace_hopper.jpg) as if taken
// before a plain wall, placed on canvases of any size.

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace vrel::test {

// The real portrait with its flag and blue backdrop around the head painted over in light grey,
// as if taken before a plain wall.
inline cv::Mat CleanPortrait() {
    cv::Mat portrait = cv::imread(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg");
    cv::Mat keep(portrait.size(), CV_8U, cv::Scalar(0));
    cv::ellipse(keep, cv::Point(264, 170), cv::Size(120, 168), 0, 0, 360, cv::Scalar(255), -1);
    keep(cv::Rect(0, 330, portrait.cols, portrait.rows - 330)).setTo(255);
    portrait.setTo(cv::Scalar(232, 232, 232), ~keep);
    return portrait;
}

// The clean portrait scaled and placed with its top-left corner at `at` on a plain light canvas.
inline cv::Mat OnCanvas(cv::Size canvas, double scale, cv::Point at) {
    cv::Mat photo(canvas, CV_8UC3, cv::Scalar(232, 232, 232));
    cv::Mat portrait;
    cv::resize(CleanPortrait(), portrait, cv::Size(), scale, scale, cv::INTER_AREA);
    const cv::Rect where = cv::Rect(at, portrait.size()) & cv::Rect(cv::Point(), canvas);
    portrait(cv::Rect(where.tl() - at, where.size())).copyTo(photo(where));
    return photo;
}

} // namespace vrel::test
