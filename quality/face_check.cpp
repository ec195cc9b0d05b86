#include "quality/face_check.h"

#include <algorithm>
#include <optional>

namespace vrel {
namespace {

// A network face sits on a cascade face when each one's centre lies inside the other.
bool SameFace(const cv::Rect2f& network, const cv::Rect& cascade) {
    const cv::Point2f a(network.x + network.width / 2, network.y + network.height / 2);
    const cv::Point2f b(cascade.x + cascade.width / 2.0f, cascade.y + cascade.height / 2.0f);
    return cv::Rect2f(cascade).contains(a) && network.contains(b);
}

} // namespace

FaceCheck CheckFaceCount(FaceLandmarker& landmarker, const cv::Mat& photo,
                         const std::vector<cv::Rect>& cascade_faces) {
    FaceCheck check;
    if (!landmarker.CanFind() || photo.empty() || photo.type() != CV_8UC3) {
        return check;
    }
    // The detector alone takes a cat's face for a person's now and then; the mesh network,
    // where it is there, says whether a person's face is in the box.
    const auto person = [&](const cv::Rect2f& box) {
        if (!landmarker.CanMark()) {
            return true;
        }
        const std::optional<FaceMarks> marks = landmarker.Mark(photo, box);
        return marks && marks->presence >= kMinPresence;
    };
    for (const FoundFace& face : landmarker.Find(photo)) {
        if (person(face.box)) {
            check.network_faces.push_back(cv::Rect(face.box) &
                                          cv::Rect(0, 0, photo.cols, photo.rows));
        }
    }
    for (const cv::Rect& face : cascade_faces) {
        const int side = 2 * std::max(face.width, face.height);
        const cv::Rect around = cv::Rect(face.x + face.width / 2 - side / 2,
                                         face.y + face.height / 2 - side / 2, side, side) &
                                cv::Rect(0, 0, photo.cols, photo.rows);
        bool found = false;
        if (!around.empty()) {
            for (FoundFace& seen : landmarker.Find(photo(around))) {
                seen.box.x += float(around.x);
                seen.box.y += float(around.y);
                found = found || (SameFace(seen.box, face) && person(seen.box));
            }
        }
        check.confirmed.push_back(found);
    }
    return check;
}

} // namespace vrel
