#pragma once

#include "quality/advisories.h"
#include "quality/face_check.h"

#include <opencv2/core.hpp>

#include <string>

namespace vrel {

// An advisory in words, in Chinese, with its numbers: what the operator or the applicant sees.
std::string AdvisoryText(const AdvisoryNote& note);

// What the face network made of the review's faces (cascade_faces, in the normalised photo), in
// words: which of them are not faces, and how many faces it sees.
std::string FaceCheckText(const FaceCheck& check, const std::vector<cv::Rect>& cascade_faces);

} // namespace vrel
