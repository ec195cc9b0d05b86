#pragma once

#include "base/error.h"
#include "check/rule.h"
#include "check/settings.h"

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include <optional>
#include <string>
#include <vector>

namespace vrel {

enum class FaceCheckOutcome { Pass, FaceCountWrong, PlacementWrong, NotCentred };

inline constexpr const char* kCascadeFileName = "haarcascade_frontalface_alt2.xml";

// The face's centre row, y + h / 2 truncated, and the line 0.75 h below it.
int FaceCentreRow(int y, int h);
float ChinLine(int y, int h);
// The same line before the truncation, for planning a crop in another photo's pixels.
inline double ChinLineUntruncated(double y, double h) {
    return y + 0.5 * h + 0.75 * h;
}
// Share of the photo's height below the line 0.75 h under the face's (truncated) centre.
float VerticalFaceRatio(int y, int h, int dst_height);
// The ratio rule: strictly inside the open interval, compared in single precision.
inline bool InOpenInterval(float value, float low, float high) {
    return low < value && value < high;
}
// Share of the photo's width that the face rectangle does not cover.
float HorizontalFaceRatio(int w, int dst_width);
// Left margin minus right margin of the face in the normalised photo.
int32_t CentreDifference(int x, int w, int dst_width);

struct FacePlacement {
    FaceCheckOutcome outcome = FaceCheckOutcome::FaceCountWrong;
    std::vector<cv::Rect> faces; // everything the detector reported
    // Measured only when exactly one face was found.
    std::optional<float> ratio_y;
    std::optional<float> ratio_x;
    std::optional<int32_t> centre_diff; // only when the ratios held
    FailedRule failed;                  // the rule that failed; Rule::None for a pass
    // Where the ratio rule draws its line: the face's truncated centre row and the line 0.75 h
    // below it, in rows of the normalised photo (only with exactly one face).
    std::optional<int> centre_row;
    std::optional<float> chin_line;
};

// Judges what the detector found against the ratio and centring rules.
FacePlacement JudgeFaces(std::vector<cv::Rect> faces, const CheckSettings& settings);

// The frontal-face detector with the review's parameters. An empty detector (missing or
// unreadable cascade file) finds no face.
class FaceDetector {
public:
    explicit FaceDetector(const std::string& cascade_path);
    bool Loaded() const { return !classifier_.empty(); }
    // Why the cascade could not be loaded, as a set-up error; none where it was.
    Error LoadError() const;
    // Detects faces in a CV_8UC3 blue-green-red photo, as the review does.
    std::vector<cv::Rect> Detect(const cv::Mat& photo, const CheckSettings& settings);
    // The same with another smallest face size, for photos of other sizes than the normalised.
    std::vector<cv::Rect> Detect(const cv::Mat& photo, int min_neighbours, cv::Size min_size);

private:
    std::string path_;
    cv::CascadeClassifier classifier_;
};

// Loads the cascade from cascade_path for this call alone, detects and judges.
FacePlacement CheckFacePlacement(const cv::Mat& photo, const CheckSettings& settings,
                                 const std::string& cascade_path);

} // namespace vrel
