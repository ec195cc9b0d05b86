#include "quality/marks_measures.h"

#include <algorithm>
#include <array>

namespace vrel::quality {
namespace {

// An eye's opening around the lids from its outer corner (the inner corner at 8, the upper lid
// back from 9): the gap between the lids across its middle (the mean of three facing pairs) over
// the width from corner to corner.
double Opening(const std::array<cv::Point2f, 16>& p) {
    const double width = cv::norm(p[0] - p[8]);
    double gap = 0;
    for (const size_t k : {3, 4, 5}) {
        gap += cv::norm(p[16 - k] - p[k]) / 3;
    }
    return width > 0 ? gap / width : 0.0;
}

} // namespace

double MeasureEyeOpenness(const FaceMarks& marks) {
    double least = 1e9;
    for (const std::array<int, 16>& opening : mesh_point::kEyeOpenings) {
        std::array<cv::Point2f, 16> p;
        for (size_t k = 0; k < p.size(); ++k) {
            p[k] = MeshPoint(marks, opening[k]);
        }
        least = std::min(least, Opening(p));
    }
    return least;
}

std::optional<double> MeasureLidOpening(const FaceMarks& marks) {
    for (const std::optional<EyeMarks>& eye : marks.eyes) {
        if (eye) {
            // The contour begins with the eye's opening as the mesh numbers it.
            std::array<cv::Point2f, 16> p;
            std::copy_n(eye->contour.begin(), p.size(), p.begin());
            return Opening(p);
        }
    }
    return std::nullopt;
}

} // namespace vrel::quality
