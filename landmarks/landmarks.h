#pragma once

// Face landmarks from three small networks run by the dnn module: a face detector (BlazeFace,
// 128 x 128), the 468 points of a face mesh (192 x 192) and, for each eye, 71 points of its
// contour and 5 of its iris (64 x 64). The networks lie in data/models/.

#include "base/error.h"

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace vrel {

inline constexpr const char* kFaceDetectionModel = "face_detection.onnx";
inline constexpr const char* kFaceMeshModel = "face_landmark.onnx";
inline constexpr const char* kIrisModel = "iris_landmark.onnx";
inline constexpr const char* kCanonicalFace = "canonical_face.txt";

// A mesh whose presence is below this did not see a face.
inline constexpr float kMinPresence = 0.5f;

// A face the detector found, in photo pixels. The keypoints are the eye on the photo's left (the
// person's right), the other eye, the nose tip, the mouth and the two ear tragions.
struct FoundFace {
    cv::Rect2f box;
    std::array<cv::Point2f, 6> keypoints;
    float score = 0; // 0..1
};

// One eye's points from the iris network, in photo pixels.
struct EyeMarks {
    std::array<cv::Point2f, 71> contour; // the lids, the eye's outline and the brow, in its order
    std::array<cv::Point2f, 5> iris;     // the iris centre, then four points on its rim
};

// The landmarks of one face, in photo pixels. The mesh's z is in the same units as x, relative
// to the face's centre, smaller towards the camera.
struct FaceMarks {
    std::vector<cv::Point3f> mesh; // 468 points in the face mesh's numbering
    float presence = 0;            // the mesh network's belief that it is looking at a face, 0..1
    // The eye on the photo's left, then the one on its right: the one seen wider once
    // FaceLandmarker::MarkEyes has run with the iris network.
    std::array<std::optional<EyeMarks>, 2> eyes;
};

// The face mesh's points that the measures use.
namespace mesh_point {
inline constexpr int kForehead = 10;
inline constexpr int kChin = 152;
inline constexpr int kNoseTip = 1;
// Eye corners: outer and inner of the eye on the photo's left, inner and outer of the other.
inline constexpr int kLeftOuter = 33, kLeftInner = 133, kRightInner = 362, kRightOuter = 263;
// Lids at the middle of each eye: upper, lower.
inline constexpr int kLeftUpper = 159, kLeftLower = 145, kRightUpper = 386, kRightLower = 374;
// Lips: inner upper and lower at the middle, the mouth's corners.
inline constexpr int kInnerUpperLip = 13, kInnerLowerLip = 14, kMouthLeft = 78, kMouthRight = 308;
// Each eye's opening around the lids from its outer corner (its inner corner at 8); the eye on
// the photo's left first.
inline constexpr std::array<std::array<int, 16>, 2> kEyeOpenings = {{
    {33, 7, 163, 144, 145, 153, 154, 155, 133, 173, 157, 158, 159, 160, 161, 246},
    {263, 249, 390, 373, 374, 380, 381, 382, 362, 398, 384, 385, 386, 387, 388, 466},
}};
} // namespace mesh_point

// A mesh point in the photo's plane.
inline cv::Point2f MeshPoint(const FaceMarks& marks, int i) {
    return {marks.mesh[size_t(i)].x, marks.mesh[size_t(i)].y};
}

// The canonical face: the mesh's 468 points of an average head, in centimetres, x to the
// person's left as seen (the photo's right), y up, z towards the camera.
Result<std::vector<cv::Point3f>> LoadCanonicalFace(const std::string& path);

// Finds faces and marks them. Each worker has its own: the networks keep buffers. A network
// whose file is missing or damaged leaves what needs it undone; Problem() says why.
class FaceLandmarker {
public:
    // models_dir holds the networks and ends in '/'.
    explicit FaceLandmarker(const std::string& models_dir);
    FaceLandmarker(const FaceLandmarker&) = delete;
    FaceLandmarker& operator=(const FaceLandmarker&) = delete;

    bool CanFind() const { return !detector_.empty(); }
    bool CanMark() const { return !mesh_.empty(); }
    bool CanMarkEyes() const { return !iris_.empty(); }
    bool CanMeasurePose() const { return canonical_.size() == 468; }
    const std::vector<cv::Point3f>& Canonical() const { return canonical_; }
    // Why a network or the canonical face cannot be used; none when all can.
    const Error& Problem() const { return problem_; }

    // The faces in a CV_8UC3 photo with a score of at least min_score, the best first, overlaps
    // merged. The photo is letterboxed into the detector's square, so faces narrower than about
    // a twelfth of its long side are missed.
    std::vector<FoundFace> Find(const cv::Mat& photo, float min_score = 0.5f);

    // The mesh of the face in box (a face detector's box, about the face from brows to chin),
    // or nullopt when the mesh network cannot run. roll, in degrees (positive: the eye on the
    // photo's right higher), turns the crop when it is known. The mesh is taken again on a crop
    // turned upright where the head leans more than refine_lean degrees from roll (the network
    // was taught on upright faces) or where the crop missed the face.
    std::optional<FaceMarks> Mark(const cv::Mat& photo, const cv::Rect2f& box, float roll = 0,
                                  float refine_lean = 4);

    // The iris network's points on marks' eye seen wider (the two look the same way, and the
    // network costs as much as the mesh); nothing where the mesh saw no face or the network
    // is missing.
    void MarkEyes(const cv::Mat& photo, FaceMarks& marks);

private:
    cv::dnn::Net detector_, mesh_, iris_;
    std::vector<cv::Point3f> canonical_;
    std::vector<cv::Rect2f> anchors_;
    Error problem_;

    std::optional<FaceMarks> MarkOnce(const cv::Mat& photo, cv::Point2f centre, float side,
                                      float roll);
};

// The angle in degrees of the line from a to b (positive when b is higher in the photo).
double RollOf(cv::Point2f a, cv::Point2f b);

} // namespace vrel
