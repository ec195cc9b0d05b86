#include "check/hsi.h"

#include <cmath>

namespace vrel {
namespace {

// Low byte of a value truncated toward zero to a 32-bit integer. A value with no integer
// form (not a number) stores 0.
uint8_t LowByteOfTruncation(double value) {
    if (!(value > -2147483648.0 && value < 2147483648.0)) {
        return 0;
    }
    return static_cast<uint8_t>(static_cast<uint32_t>(static_cast<int32_t>(value)) & 0xFFu);
}

} // namespace

HsiBytes PixelToHsi(uint8_t blue, uint8_t green, uint8_t red) {
    // Every value named below is rounded to single precision; what happens between two
    // roundings is done in double precision.
    const float b = static_cast<float>(blue / 255.0);
    const float g = static_cast<float>(green / 255.0);
    const float r = static_cast<float>(red / 255.0);

    const double rg = static_cast<double>(r) - g;
    const double rb = static_cast<double>(r) - b;
    const double gb = static_cast<double>(g) - b;
    const float t = static_cast<float>(rg * rg + rb * gb);
    const float d = static_cast<float>(std::sqrt(static_cast<double>(t)));

    float hue = 0.0f;
    if (d != 0.0f) {
        const float n = static_cast<float>(0.5 * (rb + rg));
        const float q = static_cast<float>(static_cast<double>(n) / d);
        const float theta = static_cast<float>(std::acos(static_cast<double>(q)));
        double x = static_cast<double>(theta) * 180.0 / 3.1416;
        if (g < b) {
            x = 360.0 - x;
        }
        hue = static_cast<float>(x);
    }

    const float m = std::min(r, std::min(g, b));
    const float s3 = static_cast<float>(static_cast<double>(r) + g + b);
    float saturation = 0.0f;
    if (s3 != 0.0f) {
        saturation = static_cast<float>(1.0 - 3.0 * m / s3);
    }
    const float intensity = static_cast<float>(static_cast<double>(s3) / 3.0);

    return HsiBytes{LowByteOfTruncation(hue), LowByteOfTruncation(saturation * 255.0),
                    LowByteOfTruncation(intensity * 255.0)};
}

void ConvertToHsi(const cv::Mat& src, cv::Mat& dst) {
    CV_Assert(src.type() == CV_8UC3 && dst.type() == CV_8UC3 && src.size() == dst.size());
    for (int row = 0; row < src.rows; ++row) {
        const uint8_t* in = src.ptr<uint8_t>(row);
        uint8_t* out = dst.ptr<uint8_t>(row);
        for (int col = 0; col < src.cols; ++col, in += 3, out += 3) {
            const HsiBytes p = PixelToHsi(in[0], in[1], in[2]);
            out[0] = p.hue;
            out[1] = p.saturation;
            out[2] = p.intensity;
        }
    }
}

} // namespace vrel
