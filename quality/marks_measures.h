#pragma once

// The measures taken from a face's landmarks (landmarks/landmarks.h), one file each: how open
// the eyes and the mouth are, where the head is turned and where the eyes look, its roll, and
// the head's size and place in the photo.

#include "landmarks/landmarks.h"

#include <opencv2/core.hpp>

#include <optional>
#include <vector>

namespace vrel::quality {

// How open the eyes are: the gap between the lids (the mean of three pairs across the middle)
// over the eye's width from corner to corner, of the less open eye.
double MeasureEyeOpenness(const FaceMarks& marks);

// The same from the iris network's lids, on the eye it marked (FaceLandmarker::MarkEyes), which
// it sees four times as large as the mesh does; missing where it has not marked one.
std::optional<double> MeasureLidOpening(const FaceMarks& marks);

// How open the mouth is: the gap between the inner edges of the lips at the middle over the
// mouth's width from corner to corner.
double MeasureMouthOpening(const FaceMarks& marks);

// Where the head is turned, in degrees: yaw (about the vertical axis) and pitch (about the
// horizontal one), from the mesh fitted to the canonical face by cv::solvePnP with a camera of
// a portrait lens (a focal length of the photo's long side). Yaw is positive when the face turns
// towards the photo's left (the person's right), pitch when it is lowered (the chin down).
// Nullopt where the fit fails.
// The mesh of a face that looks straight into the lens, fitted to the canonical face, comes out
// nodded back by about this much (frontal portraits of the tuning half: 7.6 to 10.4 degrees):
// pitch is measured from it.
inline constexpr double kNeutralPitch = 9.0;
struct HeadPose {
    double yaw = 0;
    double pitch = 0;
};
std::optional<HeadPose> MeasurePose(const FaceMarks& marks,
                                    const std::vector<cv::Point3f>& canonical, cv::Size photo);

// Where the eyes look: the irises' centres off the middles of the eyes, along the line through
// the two eyes, in eye widths (0 looking straight ahead; the mean of the eyes marked). Nullopt
// without the iris network's points.
std::optional<double> MeasureGaze(const FaceMarks& marks);

// The same at a glance, without the iris network: the dark pixels' middle in each eye's opening
// (the mesh's lids) off the middle of its corners, in eye widths, the mean of both eyes. It
// costs a hundredth of the network and tells only whether the eyes may look aside: the network
// is asked where it exceeds quality_bounds::kGazeGlance. Nullopt where no eye can be read.
std::optional<double> GlanceGaze(const cv::Mat& photo, const FaceMarks& marks);

// The head's roll in degrees from the line through the middles of the two eyes (positive: the
// eye on the photo's right higher).
double MeasureMarksRoll(const FaceMarks& marks);

// The head in the photo: the height from the eyes' middle to the chin, and the eyes' middle
// down from the top edge, each over the photo's height.
struct HeadPlace {
    double eye_to_chin = 0;
    double eye_line = 0;
};
HeadPlace MeasureHeadPlace(const FaceMarks& marks, cv::Size photo);

} // namespace vrel::quality
