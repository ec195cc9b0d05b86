#pragma once

// Where a correction looks for the one face: photos of any size, from a head-and-shoulders
// portrait filling the frame to a small face in a large photo of mostly plain backdrop.

#include "check/face.h"
#include "check/settings.h"
#include "correct/framing.h"

#include <opencv2/core.hpp>

#include <vector>

namespace vrel {

struct DetectionPass {
    int denom;    // the copy's reduction
    int min_face; // the smallest face looked for, in the copy's pixels
};

// Where to look for the face: first a copy about the normalised size, for faces of at least a
// quarter of its shorter side (a head-and-shoulders portrait's), which costs about what the
// review's own detection does; then a copy fine enough to show the smallest face that could
// still be corrected (its enlargement within the bound) at a size the detector finds.
std::vector<DetectionPass> DetectionPasses(cv::Size photo, const CheckSettings& settings,
                                           const FramingTargets& targets);

// The faces in a photo; where none is found and the photo is mostly plain backdrop, in its
// content alone (equalising a photo of mostly plain backdrop leaves a small face too little
// contrast to be found).
std::vector<cv::Rect> FindFaces(FaceDetector& detector, const cv::Mat& image, int neighbours,
                                int min_face);

} // namespace vrel
