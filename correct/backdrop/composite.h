#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

namespace vrel {

// What one compositing pass saw, at the photo's full resolution.
struct CompositeCounts {
    int64_t top = 0, top_person = 0;  // pixels of the top rows; with alpha > 0.1
    int64_t face = 0, face_clear = 0; // of the inner face; with alpha < 0.98
    int64_t person = 0, half = 0;     // alpha >= 0.5; 0.1 < alpha < 0.9
    int64_t ring = 0;                 // of the ring, from its cells
};

// What the pass needs besides the photo.
struct CompositeInput {
    cv::Mat coefficients; // CV_32FC4 grid: alpha = clamp(w·bgr + offset, 0, 1) (see matte.h)
    cv::Mat wall;         // CV_32FC3 grid: the old backdrop's colour, 0..255
    cv::Mat person;       // CV_32FC3 grid: the person's own colour near the edge, 0..255
    // CV_8U, the coefficients' size: kRingOut and kRingIn on either side of the person's edge,
    // 0 elsewhere.
    cv::Mat ring;
    cv::Scalar colour;   // the new backdrop, blue-green-red
    cv::Rect inner_face; // in the photo
    int top_rows = 1;    // how many rows count as the top
};

inline constexpr uchar kRingOut = 1, kRingIn = 2;

// A pixel of the ring shows the old wall when its photo colour is within kWallLike of the wall's
// estimate (largest channel difference) and alpha times the wall's difference from the new
// colour is more than kVisible: the alpha was given to wall. On the person's side of the edge a
// pixel of the wall's colour may as well be skin, hair or cloth of that colour: it counts only
// where it is farther than kPersonLike from the person's own colour there as well.
inline constexpr int kWallLike = 20;
inline constexpr int kVisible = 16;
inline constexpr int kPersonLike = 40;

// One pass over the photo at full resolution: the coefficients and the wall grid are upsampled
// bilinearly row by row, the alpha computed from each pixel's own colour, the old wall's colour
// taken out of the half-transparent edge (F = (I - (1 - a) B) / a, clamped) and the result laid
// on the new colour. photo: CV_8UC3; out: CV_8UC3; alpha: CV_8U (0..255); wall_shown: CV_8U,
// the ring's side (kRingOut, kRingIn) where a pixel shows the old wall, 0 elsewhere.
CompositeCounts CompositeOnColour(const cv::Mat& photo, const CompositeInput& input, cv::Mat& out,
                                  cv::Mat& alpha, cv::Mat& wall_shown);

} // namespace vrel
