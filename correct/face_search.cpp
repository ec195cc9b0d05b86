#include "correct/face_search.h"

#include "correct/canvas.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <utility>

namespace vrel {
namespace {

// Faces this small in a detection copy are still found reliably.
constexpr double kReliableFace = 40;

// The part of a photo that is not its plain backdrop: the box around every row and column
// where enough pixels differ from the colour of the photo's border. The whole photo where the
// backdrop is not plain or the content fills most of it.
cv::Rect ContentBox(const cv::Mat& image) {
    const cv::Vec3b backdrop = BorderMedian(image, true);
    cv::Mat differs;
    cv::absdiff(image, cv::Scalar(backdrop[0], backdrop[1], backdrop[2]), differs);
    cv::cvtColor(differs, differs, cv::COLOR_BGR2GRAY);
    cv::threshold(differs, differs, 24, 1, cv::THRESH_BINARY);
    cv::Mat rows, cols;
    cv::reduce(differs, rows, 1, cv::REDUCE_SUM, CV_32S);
    cv::reduce(differs, cols, 0, cv::REDUCE_SUM, CV_32S);
    auto span = [](const cv::Mat& sums, int length, int enough) {
        int first = -1, last = -1;
        for (int i = 0; i < length; ++i) {
            if (sums.at<int>(i) >= enough) {
                first = first < 0 ? i : first;
                last = i;
            }
        }
        return std::make_pair(first, last);
    };
    const auto [top, bottom] = span(rows, image.rows, std::max(2, image.cols / 200));
    const auto [left, right] = span(cols, image.cols, std::max(2, image.rows / 200));
    const cv::Rect whole(0, 0, image.cols, image.rows);
    if (top < 0 || left < 0) {
        return whole;
    }
    cv::Rect box(left, top, right - left + 1, bottom - top + 1);
    const int margin = std::max(box.width, box.height) / 10;
    box =
        cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
        whole;
    return box.area() < 0.8 * whole.area() ? box : whole;
}

} // namespace

std::vector<DetectionPass> DetectionPasses(cv::Size photo, const CheckSettings& s,
                                           const FramingTargets& t) {
    const int short_side = std::min(photo.width, photo.height);
    const int normalised_short = std::min(s.dst_width, s.dst_height);
    int coarse = 1;
    for (int denom : {8, 4, 2}) {
        if (short_side / denom >= normalised_short) {
            coarse = denom;
            break;
        }
    }
    const double smallest_face = (1 - s.ratio_x_max) * s.dst_width / t.max_enlarge;
    int fine = 1;
    for (int denom : {8, 4, 2}) {
        if (smallest_face / denom >= kReliableFace) {
            fine = denom;
            break;
        }
    }
    fine = std::min(fine, coarse);
    const int coarse_min = std::max(static_cast<int>(kReliableFace), short_side / coarse / 4);
    const int fine_min = std::max(20, static_cast<int>(0.8 * smallest_face / fine));
    return {{coarse, coarse_min}, {fine, fine_min}};
}

std::vector<cv::Rect> FindFaces(FaceDetector& detector, const cv::Mat& image, int neighbours,
                                int min_face) {
    const cv::Size min_size(min_face, min_face);
    std::vector<cv::Rect> faces = detector.Detect(image, neighbours, min_size);
    if (!faces.empty()) {
        return faces;
    }
    const cv::Rect content = ContentBox(image);
    if (content.area() == image.cols * image.rows) {
        return faces;
    }
    faces = detector.Detect(image(content).clone(), neighbours, min_size);
    for (cv::Rect& f : faces) {
        f += content.tl();
    }
    return faces;
}

} // namespace vrel
