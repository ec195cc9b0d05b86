#include "quality/marks_measures.h"

namespace vrel::quality {

HeadPlace MeasureHeadPlace(const FaceMarks& marks, cv::Size photo) {
    using namespace mesh_point;
    const auto y = [&](int i) { return double(marks.mesh[size_t(i)].y); };
    const double eyes = (y(kLeftOuter) + y(kLeftInner) + y(kRightInner) + y(kRightOuter)) / 4;
    HeadPlace place;
    if (photo.height > 0) {
        place.eye_to_chin = (y(kChin) - eyes) / photo.height;
        place.eye_line = eyes / photo.height;
    }
    return place;
}

} // namespace vrel::quality
