#include "quality/marks_measures.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <vector>

namespace vrel::quality {
namespace {

// The line from the photo's left eye to its right one (the middles of the mesh's eye corners):
// gaze is measured along it.
cv::Point2f Across(const FaceMarks& marks) {
    using namespace mesh_point;
    return (MeshPoint(marks, kRightInner) + MeshPoint(marks, kRightOuter)) / 2 -
           (MeshPoint(marks, kLeftOuter) + MeshPoint(marks, kLeftInner)) / 2;
}

// The patch an eye is read at, in pixels: its corners 24 apart.
constexpr int kPatchWidth = 32, kPatchHeight = 16;
constexpr float kCornersApart = 24;

} // namespace

std::optional<double> MeasureGaze(const FaceMarks& marks) {
    if (!marks.eyes[0] && !marks.eyes[1]) {
        return std::nullopt;
    }
    const cv::Point2f across = Across(marks);
    const double length = cv::norm(across);
    if (!(length > 0)) {
        return std::nullopt;
    }
    double sum = 0;
    int eyes = 0;
    for (const std::optional<EyeMarks>& eye : marks.eyes) {
        if (!eye) {
            continue;
        }
        // The iris network's own corners (its points 0 and 8) and the middle of the iris's
        // rim across (points 1 and 3), so that the measure stands on one network's points.
        const cv::Point2f outer = eye->contour[0], inner = eye->contour[8];
        const double width = cv::norm(inner - outer);
        if (!(width > 0)) {
            return std::nullopt;
        }
        const cv::Point2f iris = (eye->iris[1] + eye->iris[3]) / 2;
        sum += (iris - (outer + inner) / 2).dot(across) / length / width;
        ++eyes;
    }
    return sum / eyes;
}

std::optional<double> GlanceGaze(const cv::Mat& photo, const FaceMarks& marks) {
    if (photo.empty() || photo.type() != CV_8UC3 || marks.mesh.size() < 468) {
        return std::nullopt;
    }
    const cv::Point2f across = Across(marks);
    const double length = cv::norm(across);
    if (!(length > 0)) {
        return std::nullopt;
    }
    const cv::Point2f u = across / float(length);
    double sum = 0;
    int eyes = 0;
    for (const auto& opening : mesh_point::kEyeOpenings) {
        const cv::Point2f a = MeshPoint(marks, opening[0]), b = MeshPoint(marks, opening[8]);
        const float width = float(cv::norm(b - a));
        if (width < 4) {
            continue;
        }
        // The eye levelled along the line through both eyes, its corners' middle at the
        // patch's centre.
        const float k = kCornersApart / width;
        const cv::Point2f mid = (a + b) / 2;
        const cv::Matx23f to_patch(k * u.x, k * u.y,
                                   kPatchWidth / 2.0f - k * (u.x * mid.x + u.y * mid.y), -k * u.y,
                                   k * u.x, kPatchHeight / 2.0f - k * (-u.y * mid.x + u.x * mid.y));
        cv::Mat patch;
        cv::warpAffine(photo, patch, cv::Mat(to_patch), cv::Size(kPatchWidth, kPatchHeight),
                       cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        cv::cvtColor(patch, patch, cv::COLOR_BGR2GRAY);
        std::vector<cv::Point> outline;
        for (const int i : opening) {
            const cv::Point2f p = MeshPoint(marks, i);
            outline.emplace_back(
                cvRound(to_patch(0, 0) * p.x + to_patch(0, 1) * p.y + to_patch(0, 2)),
                cvRound(to_patch(1, 0) * p.x + to_patch(1, 1) * p.y + to_patch(1, 2)));
        }
        cv::Mat inside = cv::Mat::zeros(patch.size(), CV_8U);
        cv::fillPoly(inside, std::vector<std::vector<cv::Point>>{outline}, cv::Scalar(255));
        std::vector<uchar> seen;
        for (int y = 0; y < patch.rows; ++y) {
            for (int x = 0; x < patch.cols; ++x) {
                if (inside.at<uchar>(y, x)) {
                    seen.push_back(patch.at<uchar>(y, x));
                }
            }
        }
        if (seen.size() < 16) {
            continue;
        }
        // The iris is the dark part of the opening: the pixels darker than its middle grey,
        // weighted by how much darker.
        std::nth_element(seen.begin(), seen.begin() + long(seen.size() / 2), seen.end());
        const int middle = seen[seen.size() / 2];
        double weight = 0, moment = 0;
        for (int y = 0; y < patch.rows; ++y) {
            for (int x = 0; x < patch.cols; ++x) {
                const int dark = middle - patch.at<uchar>(y, x);
                if (inside.at<uchar>(y, x) && dark > 0) {
                    weight += dark;
                    moment += dark * (x - kPatchWidth / 2.0); // the corners' middle at x 16
                }
            }
        }
        if (weight > 0) {
            sum += moment / weight / kCornersApart;
            ++eyes;
        }
    }
    if (eyes == 0) {
        return std::nullopt;
    }
    return sum / eyes;
}

} // namespace vrel::quality
