#include "quality/marks_measures.h"

namespace vrel::quality {

double MeasureMouthOpening(const FaceMarks& marks) {
    using namespace mesh_point;
    const auto at = [&](int i) { return MeshPoint(marks, i); };
    const double width = cv::norm(at(kMouthLeft) - at(kMouthRight));
    return width > 0 ? cv::norm(at(kInnerUpperLip) - at(kInnerLowerLip)) / width : 0;
}

} // namespace vrel::quality
