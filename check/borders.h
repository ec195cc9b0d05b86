#pragma once

#include <opencv2/core.hpp>

#include <optional>

namespace vrel {

// Plain bands at a photo's edges that are no part of the picture: the black bars of a
// screenshot, the margins of a scan. In pixels of the image they were found on, from each edge.
struct PlainBorders {
    int top = 0, bottom = 0, left = 0, right = 0;
    cv::Vec3b colour; // blue-green-red
    // What lies inside them.
    cv::Rect Inside(cv::Size size) const {
        return cv::Rect(left, top, size.width - left - right, size.height - top - bottom);
    }
};

// The plain borders of a blue-green-red picture, where it has them. A side is plain where its
// outermost lines, at least 2 % of the picture and 4 pixels deep and at most 40 %, all have one
// colour (98 % of each line within 6 levels of it). A portrait's bottom edge is never one plain
// colour, nor are both sides of it black: borders are told only where the bottom is plain with
// another side of its colour (a scan's margins, a screenshot's bars above and below), or where
// the left and right are both plain and nearly black (a screenshot's bars beside a picture).
// A plain wall above the head alone is no border.
std::optional<PlainBorders> FindPlainBorders(const cv::Mat& bgr);

} // namespace vrel
