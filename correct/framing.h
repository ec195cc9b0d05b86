#pragma once

#include "check/settings.h"

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vrel {

// Where a corrected photo puts the face: the vertical and horizontal face ratios that it is
// framed to, and how far a crop may be enlarged to the normalised size.
struct FramingTargets {
    float ratio_y = 0.30f;
    float ratio_x = 0.58f;
    double max_enlarge = 1.5;
};

// The shipped framing, measured on well-framed portraits, or the optional correct_ratio_y,
// correct_ratio_x and correct_max_enlarge keys. A default that the settings' own intervals do
// not hold well inside gives way to the middle of the interval.
FramingTargets TargetsFor(const CheckSettings& settings);

// A face box in the upright photo, in its pixels, and the top of the hair above it where that
// is known (a plain wall, or the person's matte).
struct FaceBox {
    double x = 0, y = 0, w = 0, h = 0;
    std::optional<double> crown;
};

// Room kept above the top of the hair, in the crop's height.
inline constexpr double kCrownRoom = 0.05;

// Whether the face ratios lie inside the settings' intervals with the margin that the framing
// plans for (a fifth of each interval at both ends).
bool RatiosWellInside(float ratio_y, float ratio_x, const CheckSettings& settings);

// Why no crop frames the face.
enum class FramingProblem {
    None,
    TooSmall,   // the crop would be enlarged more than allowed
    SpaceAbove, // the photo ends too close above the head
    SpaceBelow, // the photo ends too close below the chin
    SpaceLeft,  // the face is too close to the left edge to be centred
    SpaceRight,
};

struct Framing {
    FramingProblem problem = FramingProblem::None;
    // In the upright photo; exactly the normalised aspect within a pixel. Where the photo may be
    // extended, it may reach beyond the top, left and right edges, never below the bottom.
    cv::Rect crop;
    double scale = 0; // normalised width / crop width
    // For a refusal: how many pixels the photo lacks beyond its edge; for TooSmall, the
    // enlargement the framing would need and the bound.
    double needed = 0;
    double available = 0;
    // TooSmall: the photo as a whole is smaller than the normalised size allows to enlarge (not
    // only its face).
    bool photo_too_small = false;
};

// Where a crop may reach beyond the photo: on a plain backdrop the photo can be extended above
// and beside the person with the backdrop's colour; never below, where the person must reach
// the bottom edge.
struct CanvasRoom {
    bool extend = false;
    // The lowest row (exclusive) a crop may reach, in the photo's pixels; the photo's height
    // where unset. A turned photo keeps its crop above its corners that the turn opened below.
    std::optional<double> bottom;
};

// Chooses the crop that puts the face at the target ratios, centred, inside the photo. Where the
// photo's edges are in the way it moves the crop, or zooms, within what the intervals allow
// (keeping a margin from every bound, since the detector's box moves a little with the scale);
// where nothing fits, says what is missing. A photo that needs more enlargement than the bound
// to reach the normalised size is TooSmall first, whatever its face.
Framing PlanCrop(const FaceBox& face, cv::Size photo, const CheckSettings& settings,
                 const FramingTargets& targets, const CanvasRoom& room = {});

// How far a crop reaches beyond the photo on each side, in the photo's pixels (0 inside).
struct Overhang {
    int top = 0, left = 0, right = 0, bottom = 0;
    bool Any() const { return top > 0 || left > 0 || right > 0 || bottom > 0; }
};
Overhang OverhangOf(const cv::Rect& crop, cv::Size photo);

// The photo's face box as a crop of it would show it after normalising, for the ratios of the
// face check.
FaceBox FaceInCrop(const FaceBox& face, const cv::Rect& crop, const CheckSettings& settings);

} // namespace vrel
