#include "check/background.h"

#include "check/hsi.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace vrel {
namespace {

float ByteFraction(int byte) {
    return static_cast<float>(byte / 255.0);
}

} // namespace

StripRegion SampledStrips(const cv::Size& photo, const CheckSettings& settings) {
    StripRegion region;
    region.rows = std::clamp(settings.jc_row, 0, photo.height);
    const int width = std::clamp(settings.jc_col, 0, photo.width);
    region.left_begin = 0;
    region.left_end = width;
    // The right strip ends at the last column of the normalised width; the photo is always
    // that wide after the resize, and anything beyond the photo is cut off.
    const int64_t right_end = std::clamp<int64_t>(settings.dst_width, 0, photo.width);
    region.right_end = static_cast<int>(right_end);
    region.right_begin = static_cast<int>(
        std::clamp<int64_t>(int64_t{settings.dst_width} - settings.jc_col, 0, right_end));
    return region;
}

bool BackgroundPixelPasses(int hue, int saturation_byte, int value_byte,
                           const CheckSettings& settings) {
    const float h = static_cast<float>(hue);
    const float s = ByteFraction(saturation_byte);
    const float v = ByteFraction(value_byte);
    if (settings.bgc == 1 && settings.blue_h_min <= h && h <= settings.blue_h_max &&
        settings.blue_s_min <= s && s <= settings.blue_s_max && v > settings.i_min) {
        return true;
    }
    return s < settings.s_min && v > settings.i_max;
}

BackgroundOutcome CheckBackground(const cv::Mat& photo, const CheckSettings& settings,
                                  bool whole_image) {
    CV_Assert(photo.type() == CV_8UC3);
    BackgroundOutcome outcome;
    const StripRegion region = SampledStrips(photo.size(), settings);
    if (region.Empty()) {
        return outcome;
    }

    struct StripRange {
        Strip strip;
        int begin, end;
    };
    const StripRange strips[] = {{Strip::Left, region.left_begin, region.left_end},
                                 {Strip::Right, region.right_begin, region.right_end}};

    // The photo stores blue first; taking it as red only swaps the HSV hue, which is not
    // used, and leaves saturation and value as they are.
    auto convert = [](const cv::Mat& area, cv::Mat& hsi, cv::Mat& hsv) {
        hsi.create(area.size(), CV_8UC3);
        ConvertToHsi(area, hsi);
        cv::cvtColor(area, hsv, cv::COLOR_RGB2HSV);
    };
    cv::Mat whole_hsi, whole_hsv;
    if (whole_image) {
        convert(photo, whole_hsi, whole_hsv);
    }

    // Both conversions work pixel by pixel, so converting only a strip gives the bytes that a
    // whole-photo conversion has there.
    for (const StripRange& strip : strips) {
        if (strip.end <= strip.begin) {
            continue;
        }
        const cv::Range rows(0, region.rows), cols(strip.begin, strip.end);
        const cv::Mat area = photo(rows, cols);
        cv::Mat hsi, hsv;
        if (whole_image) {
            hsi = whole_hsi(rows, cols);
            hsv = whole_hsv(rows, cols);
        } else {
            convert(area, hsi, hsv);
        }
        for (int row = 0; row < area.rows; ++row) {
            const uint8_t* h = hsi.ptr<uint8_t>(row);
            const uint8_t* sv = hsv.ptr<uint8_t>(row);
            for (int col = 0; col < area.cols; ++col) {
                const int hue = h[3 * col];
                const int sat = sv[3 * col + 1];
                const int val = sv[3 * col + 2];
                if (!BackgroundPixelPasses(hue, sat, val, settings)) {
                    outcome.failed_pixel = BackgroundPixel{strip.strip,       row,
                                                           strip.begin + col, hue,
                                                           ByteFraction(sat), ByteFraction(val)};
                    return outcome;
                }
            }
        }
    }
    outcome.passed = true;
    return outcome;
}

} // namespace vrel
