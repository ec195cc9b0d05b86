#include "quality/marks_measures.h"

#include <algorithm>
#include <array>

namespace vrel::quality {
namespace {

// One eye: its corners and three pairs of lid points across its middle (upper, lower).
struct EyePoints {
    int outer, inner;
    std::array<std::pair<int, int>, 3> lids;
};

constexpr EyePoints kEyes[] = {
    {33, 133, {{{160, 144}, {159, 145}, {158, 153}}}},
    {263, 362, {{{387, 373}, {386, 374}, {385, 380}}}},
};

} // namespace

double MeasureEyeOpenness(const FaceMarks& marks) {
    double least = 1e9;
    for (const EyePoints& eye : kEyes) {
        const double width = cv::norm(MeshPoint(marks, eye.outer) - MeshPoint(marks, eye.inner));
        double gap = 0;
        for (const auto& [upper, lower] : eye.lids) {
            gap += cv::norm(MeshPoint(marks, upper) - MeshPoint(marks, lower)) / 3;
        }
        least = std::min(least, width > 0 ? gap / width : 0.0);
    }
    return least;
}

std::optional<double> MeasureLidOpening(const FaceMarks& marks) {
    for (const std::optional<EyeMarks>& eye : marks.eyes) {
        if (!eye) {
            continue;
        }
        // The contour begins with the eye's opening as the mesh numbers it (kEyeOpenings): the
        // outer corner, the lower lid, the inner corner at 8, the upper lid back.
        const std::array<cv::Point2f, 71>& c = eye->contour;
        const double width = cv::norm(c[0] - c[8]);
        double gap = 0;
        for (const size_t k : {3, 4, 5}) {
            gap += cv::norm(c[k] - c[16 - k]) / 3;
        }
        return width > 0 ? gap / width : 0.0;
    }
    return std::nullopt;
}

} // namespace vrel::quality
