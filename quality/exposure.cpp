#include "quality/measures.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace vrel::quality {

Exposure MeasureExposure(const FaceView& view) {
    Exposure result;
    const cv::Mat inner = view.grey(view.inner);
    std::array<int64_t, 256> histogram{};
    for (int y = 0; y < inner.rows; ++y) {
        const uint8_t* row = inner.ptr<uint8_t>(y);
        for (int x = 0; x < inner.cols; ++x) {
            ++histogram[row[x]];
        }
    }
    const int64_t total = int64_t(inner.total());
    int64_t sum = 0;
    int64_t clipped = 0;
    for (int v = 0; v < 256; ++v) {
        sum += v * histogram[v];
        if (v >= 250) {
            clipped += histogram[v];
        }
    }
    result.luma = double(sum) / double(total);
    result.clipped = double(clipped) / double(total);
    // The level that the brightest 2 % reach: skin's highlights, the whites of the eyes.
    int64_t above = 0;
    for (int v = 255; v >= 0; --v) {
        above += histogram[v];
        if (50 * above >= total) {
            result.highlight = v;
            break;
        }
    }
    // The cheeks: a quarter of the box's width on each side, from a quarter to 85 % down,
    // outside the nose and the middle of the mouth, where light from one side shows most.
    const int w = view.grey.cols;
    const int h = view.grey.rows;
    const cv::Rect left(int(std::lround(0.15 * w)), int(std::lround(0.25 * h)),
                        int(std::lround(0.25 * w)), int(std::lround(0.6 * h)));
    const cv::Rect right(w - left.x - left.width, left.y, left.width, left.height);
    const double a = cv::mean(view.grey(left))[0];
    const double b = cv::mean(view.grey(right))[0];
    const double brighter = std::max(a, b);
    result.side_ratio = brighter > 0 ? std::min(a, b) / brighter : 1.0;
    return result;
}

} // namespace vrel::quality
