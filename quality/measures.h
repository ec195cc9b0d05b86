#pragma once

// The single measures behind the quality advisories, and the face view they share.

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include <optional>

namespace vrel::quality {

// The face prepared once for every measure.
struct FaceView {
    cv::Rect box;      // the face box clipped to the photo, in photo pixels
    cv::Mat full_grey; // its luma at the photo's own pixels
    // The luma halved (by means of 2 x 2 pixels) while that keeps it at least twice the
    // working width: between the working width and twice that, or the photo's own when the
    // face is narrower. Never resampled by a fraction, which would blur its finest detail by
    // an amount that depends on the fraction.
    cv::Mat grey;
    double detail_scale = 1; // grey's width over the working width, at least 1
    cv::Mat bgr;             // the face box sampled at grey's size
    cv::Rect inner;          // eyes, nose, mouth and cheeks, in grey's pixels
};

// Faces narrower than this are not measured.
inline constexpr int kMinFaceWidth = 24;

// Halves a grey image by the means of 2 x 2 pixels (an odd last row or column is dropped).
cv::Mat Halve(const cv::Mat& grey);

// Prepares the face box for measures at a face width of work_width; nullopt when the box lies
// (mostly) outside the photo or is too small.
std::optional<FaceView> MakeFaceView(const cv::Mat& photo, const cv::Rect& face, int work_width);

// The inner face's mean colour in CIELAB: chroma and hue angle (degrees, [0, 360)).
struct MeanColour {
    double chroma = 0;
    double hue = 0;
};
MeanColour MeasureColour(const FaceView& view);

// Energy of the finest octave over the octave below it, on the inner face, where the face is
// work_width wide (the octaves are scaled by the view's detail_scale).
double MeasureSharpness(const FaceView& view);

// Block grid strength of the face box at the photo's own pixels.
double MeasureBlockiness(const FaceView& view);

struct Exposure {
    double luma = 0;       // mean of the inner face
    double clipped = 0;    // share at 250 or above
    double highlight = 0;  // the level that its brightest 2 % reach
    double side_ratio = 1; // darker cheek over brighter cheek
};
Exposure MeasureExposure(const FaceView& view);

// How the eyes are sought: each in a small window about where the face detector's box puts it,
// in the face reduced to face_width pixels (never enlarged), at few sizes; then each eye's
// mirror image, turned by twice the roll the two give, finds the other's place more finely.
struct RollSearch {
    int face_width = 110;
    // The rows of the face box searched, in its height.
    double band_top = 0.1, band_bottom = 0.7;
    // The left eye's expected centre, in the box's width and height (the right one mirrored),
    // and how far from it an eye's centre may lie, in the box's width.
    double eye_x = 0.3, eye_y = 0.37;
    double reach_x = 0.1, reach_y = 0.1;
    // Eye sizes, in the box's width, and the factor between sizes tried.
    double min_eye = 0.18, max_eye = 0.3;
    double scale_factor = 1.1;
    // The windows are small: every hit of the detector counts.
    int neighbours = 0;
    // Degrees the band is turned either way when the eyes are not both found upright (the
    // detector misses eyes that lean much).
    double retry_turn = 12;
    // The two eyes' sizes within this factor of each other.
    double max_size_ratio = 1.6;
    // How far the mirror match may move an eye, in eye widths, and the correlation it must reach.
    double mirror_reach = 0.25;
    double min_match = 0.3;
};

// Roll in degrees from the eyes found in the upper face; nullopt without two plausible eyes.
std::optional<double> MeasureRoll(const FaceView& view, cv::CascadeClassifier& eyes,
                                  const RollSearch& search = {});

} // namespace vrel::quality
