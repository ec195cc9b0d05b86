#include "quality/marks_measures.h"

namespace vrel::quality {

std::optional<double> MeasureGaze(const FaceMarks& marks) {
    using namespace mesh_point;
    if (!marks.eyes[0] && !marks.eyes[1]) {
        return std::nullopt;
    }
    const auto at = [&](int i) {
        return cv::Point2f(marks.mesh[size_t(i)].x, marks.mesh[size_t(i)].y);
    };
    // Along the line from the photo's left eye to its right one (the mesh's eye corners).
    const cv::Point2f across =
        (at(kRightInner) + at(kRightOuter)) / 2 - (at(kLeftOuter) + at(kLeftInner)) / 2;
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

} // namespace vrel::quality
