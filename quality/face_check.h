#pragma once

// A second opinion on the review's face count: where the face detector of the review (a
// cascade) counts other than one face, the face network looks at the same photo. The cascade
// now and then takes a pattern for a face; an operator who sees "the second face is not a face"
// can overrule the rejection.

#include "landmarks/landmarks.h"

#include <opencv2/core.hpp>

#include <vector>

namespace vrel {

struct FaceCheck {
    // For each face the cascade reported, whether the network finds a face there too.
    std::vector<bool> confirmed;
    // The faces the network finds in the whole photo, in its pixels, the best first.
    std::vector<cv::Rect> network_faces;
};

// The network's opinion on the cascade's faces in photo (CV_8UC3). Each cascade face is looked
// at in a square twice its size about it, so that a small face is seen at the network's scale;
// a face the detector finds counts where the face mesh sees a person's face in it too.
FaceCheck CheckFaceCount(FaceLandmarker& landmarker, const cv::Mat& photo,
                         const std::vector<cv::Rect>& cascade_faces);

} // namespace vrel
