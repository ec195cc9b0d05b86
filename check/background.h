#pragma once

#include "check/settings.h"

#include <opencv2/core.hpp>

#include <optional>

namespace vrel {

enum class Strip { Left, Right };

// The first sampled pixel that was neither white nor (where allowed) blue.
struct BackgroundPixel {
    Strip strip = Strip::Left;
    int row = 0;
    int col = 0;          // column in the photo
    int hue = 0;          // HSI hue byte
    float saturation = 0; // HSV saturation, 0 to 1
    float value = 0;      // HSV value, 0 to 1
};

struct BackgroundOutcome {
    bool passed = false;
    // Set when a pixel failed; empty when the check passed or the sampled region was empty.
    std::optional<BackgroundPixel> failed_pixel;
};

// The two sampled strips of a normalised photo: rows [0, rows) of columns [left_begin,
// left_end) and [right_begin, right_end). They are clipped to the photo, so a region set
// larger than the photo samples only what the photo has.
struct StripRegion {
    int rows = 0;
    int left_begin = 0, left_end = 0;
    int right_begin = 0, right_end = 0;
    bool Empty() const { return rows <= 0 || left_end <= left_begin; }
};
StripRegion SampledStrips(const cv::Size& photo, const CheckSettings& settings);

// Judges one pixel by the blue rule (when bgc is 1) and the white rule. hue is the HSI hue
// byte, saturation_byte and value_byte are HSV bytes.
bool BackgroundPixelPasses(int hue, int saturation_byte, int value_byte,
                           const CheckSettings& settings);

// Decides whether the two top strips of the normalised photo (CV_8UC3, blue-green-red) are
// white, or blue where bgc allows it. Stops at the first pixel that fails; an empty region
// fails. Only the strips are converted to HSI and HSV; with whole_image set, the whole photo
// is (the same bytes, more work).
BackgroundOutcome CheckBackground(const cv::Mat& photo, const CheckSettings& settings,
                                  bool whole_image = false);

} // namespace vrel
