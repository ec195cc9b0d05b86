#include "quality/marks_measures.h"

namespace vrel::quality {

double MeasureMarksRoll(const FaceMarks& marks) {
    using namespace mesh_point;
    const auto at = [&](int i) { return MeshPoint(marks, i); };
    return RollOf((at(kLeftOuter) + at(kLeftInner)) / 2, (at(kRightInner) + at(kRightOuter)) / 2);
}

} // namespace vrel::quality
