#pragma once

// The working copy that a correction's crops are cut from, and its geometry: the turn that
// straightens a head, the upright rectangle inside a turned photo, the top of the hair, and the
// crops planned on it, inside its own pixels or extended with its plain backdrop.

#include "check/settings.h"
#include "correct/framing.h"

#include <opencv2/core.hpp>

#include <optional>

namespace vrel {

// A working copy of the photo: reduced, perhaps turned upright, perhaps laid on a new backdrop.
struct Canvas {
    cv::Mat image;       // CV_8UC3: the reduced copy, turned upright where the head leans
    cv::Rect inner;      // its own pixels: all of it, or the upright rectangle inside the turn
    double to_photo = 1; // photo pixels per canvas pixel
    FaceBox face;        // in canvas pixels, with the top of the hair where it was found
    // The plain backdrop's colour, where the canvas may be extended with it (and the corners a
    // turn opened are filled with it).
    std::optional<cv::Vec3b> fill;
};

// How plain the wall above a face is: the two top corners and the two side strips above the
// face, each's largest channel spread, and how far their means lie apart; nullopt where the
// photo has no room for them above the face.
struct WallPatches {
    double spread = 0;   // the largest standard deviation of a channel within a patch
    double disagree = 0; // the largest difference of a channel's mean from the first patch's
    cv::Vec3b colour;    // the patches' mean colour
};
std::optional<WallPatches> MeasureWallPatches(const cv::Mat& image, const FaceBox& face);
// A wall is plain within these, measured with bench/framing_measure.cpp on the correction set
// (tests/data/correction/). Its first half chose them: plain walls, a beige one lit from one side
// among them, spread up to 9.6 and disagree up to 16.6; walls that are not plain (rooms,
// outdoors, flags) from 39 and 83. The spread stays near the plain side, since the extension's
// flat colour beside a grainier wall would show as a band. The second half checked them: plain
// walls up to 7.8 and 15.3, the others from 42 and 29.
inline constexpr double kMaxWallSpread = 12;
inline constexpr double kMaxWallDisagree = 20;

// The canvas of a reduced copy of a photo of the given size; face in the photo's pixels. Where
// roll is given, the copy is turned by it about the face, which keeps its place; the corners the
// turn opens are filled with the wall's colour where it is plain, else with its border's.
Canvas MakeCanvas(const cv::Mat& copy, cv::Size photo, const FaceBox& face,
                  std::optional<double> roll, const CheckSettings& settings);

// The canvas with its backdrop replaced: the composite, plain in colour, and the person's alpha
// (which gives the top of the hair).
Canvas OnNewBackdrop(const Canvas& canvas, const cv::Mat& composite, const cv::Mat& alpha,
                     const cv::Vec3b& colour);

// A framing on the canvas: inside its own pixels, or where it has a plain backdrop and extend
// is set, reaching beyond them above and beside (never below them). The enlargement bound of
// targets is the photo's; the canvas's own follows from its reduction.
Framing PlanOn(const Canvas& canvas, const FaceBox& face, bool extend,
               const CheckSettings& settings, const FramingTargets& targets);

// The crop of a canvas at the normalised size; where it reaches beyond the canvas, the canvas is
// extended with the fill colour.
cv::Mat CutAndScale(const cv::Mat& source, const cv::Rect& crop, const CheckSettings& settings,
                    const cv::Vec3b& fill);

// A crop of the canvas in the photo's pixels.
cv::Rect CropInPhoto(const cv::Rect& crop, const Canvas& canvas);
// What a crop of the canvas adds beyond its own pixels, in the pixels of the photo it is scaled
// to (width wide); nullopt when it lies inside.
std::optional<Overhang> AddedBy(const cv::Rect& crop, const Canvas& canvas, int width);

// The largest reduction (8, 4, 2 or 1) that still gives the crop at least the normalised size.
int CropDenominator(const cv::Rect& crop, const CheckSettings& settings);

// The largest upright rectangle inside a w x h photo turned by degrees about its own centre,
// with the same centre.
cv::Size2d InsideTurned(double w, double h, double degrees);

// The median colour of an image's border: its top row and sides, and its bottom row where
// with_bottom is set (a portrait's bottom row is mostly the person).
cv::Vec3b BorderMedian(const cv::Mat& image, bool with_bottom);

// A face box in whole pixels, clipped to within.
cv::Rect FaceRect(const FaceBox& face, cv::Size within);

} // namespace vrel
