#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

namespace vrel {

struct HsiBytes {
    uint8_t hue;
    uint8_t saturation;
    uint8_t intensity;
};

// Hue, saturation and intensity bytes of one pixel given as its stored blue, green, red bytes.
// Hue is the low byte of the truncated hue in degrees (so hues from 256 up wrap), and an
// undefined hue is stored as 0.
HsiBytes PixelToHsi(uint8_t blue, uint8_t green, uint8_t red);

// Converts a CV_8UC3 blue-green-red image into a CV_8UC3 image of hue, saturation and
// intensity bytes. dst must already have src's rows, columns and type.
void ConvertToHsi(const cv::Mat& src, cv::Mat& dst);

} // namespace vrel
