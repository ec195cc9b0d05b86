#pragma once

#include <opencv2/core.hpp>

namespace vrel {

// How the matte is made. The defaults are the ones measured best (bench/backdrop_measure.cpp).
struct MatteOptions {
    int work_side = 512;          // long side of the reduced copy that the matte is made on
    int grabcut_side = 256;       // long side at which GrabCut refines the network's mask;
                                  // 0: no GrabCut, the mask is taken as it is
    int grabcut_iterations = 3;   //
    double filter_radius = 0.016; // the guided filter's window radius, share of work_side
    double filter_eps = 1e-3;     // its ridge, in (0..1 colour)²
    // The filtered alpha is stretched so that these become 0 and 1: it takes out the small
    // wobble of the linear fit over a textured wall and inside the person.
    double alpha_low = 0.04, alpha_high = 0.96;
};

// A photo reduced by area so that its long side is at most side (a copy when it is smaller).
cv::Mat ReduceForMatte(const cv::Mat& photo_bgr, int side, double* scale);

// GrabCut's labels seeded from the network's person probability (CV_32F, any size; resized to
// `size`): sure person deep inside the mask and on the inner face, probable person on the rest
// of the mask, probable backdrop where the network gives 0.05 or more and in a band around the
// mask, sure backdrop beyond.
cv::Mat SeedLabels(const cv::Mat& probability, cv::Size size, const cv::Rect& inner_face);

// The person's region (CV_8U, 255 inside, the photo's size): GrabCut from the seed labels
// (iterations 0: the seeds' person labels as they are), then only the region joined to the
// inner face, with its pinholes filled. Empty when no region reaches the face.
cv::Mat PersonRegion(const cv::Mat& photo_bgr, cv::Mat labels, int iterations,
                     const cv::Rect& inner_face);

// The matte's linear colour model: coefficients (CV_32FC4, the region's size) such that the
// alpha of a pixel of colour bgr (0..255) at that place is clamp(w·bgr + offset, 0, 1), fitted
// by the guided filter to `region` and stretched by alpha_low / alpha_high.
cv::Mat MatteCoefficients(const cv::Mat& photo_bgr, const cv::Mat& region,
                          const MatteOptions& options);

// The old backdrop's colour (CV_32FC3, 0..255, about 64 pixels on the long side), smooth:
// an average of the pixels that are surely backdrop (farther than `margin` from the region),
// filled in from coarser averages where the person hides it.
cv::Mat EstimateWall(const cv::Mat& photo_bgr, const cv::Mat& region, int margin);

} // namespace vrel
