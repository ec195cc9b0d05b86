#pragma once

// Quality advisories: hints that sit beside the review's verdict and never change it. They point
// at photos that pass every test of the review although a person would send them back: black and
// white or tinted, soft or enlarged, blocky from strong compression, too dark or too bright, lit
// from one side, or with the head tilted.

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include <optional>
#include <string>
#include <vector>

namespace vrel {

enum class Advisory {
    Colour,
    Tint,
    Soft,
    Compression,
    Underexposed,
    Overexposed,
    UnevenLight,
    Roll
};

// "colour", "tint", "soft", "compression", "underexposed", "overexposed", "uneven_light", "roll".
const char* AdvisoryCode(Advisory a);

// One advisory: the measured value and the bound it passed.
struct AdvisoryNote {
    Advisory code;
    double measure;
    double bound;
};

// Everything the advisor measures on one face. A value that could not be measured is missing.
struct QualityMeasures {
    // The inner face's mean colour in CIELAB: its chroma and its hue angle in degrees [0, 360).
    double chroma = 0;
    double hue = 0;
    // Detail in the face's finest octave against the octave below it, the octaves taken as if
    // the face were at most kSharpnessFaceWidth pixels wide: a face enlarged from fewer pixels
    // lacks the finest.
    double sharpness = 0;
    // Strength of an 8 x 8 block grid in the face box at the photo's own resolution: the mean
    // step across the strongest column (row) phase over the next strongest, the smaller of the
    // two directions. Only measured on a photo decoded at full resolution.
    std::optional<double> blockiness;
    // The inner face's mean luma (0-255), the share of it at 250 or above, and the level its
    // brightest 2 % reach (highlights on the skin, the whites of the eyes).
    double luma = 0;
    double clipped = 0;
    double highlight = 0;
    // Mean luma of the darker cheek over that of the brighter one (0-1].
    double side_ratio = 1;
    // Head roll in degrees from the two eyes, positive when the head leans counter-clockwise
    // as the photo is seen (the eye on the photo's right is higher). Missing without two
    // plausible eyes or without the eye detector.
    std::optional<double> roll;
};

// The bounds, chosen on real portraits and on versions of them made faulty.
namespace quality_bounds {
// colour: a face whose mean colour has less chroma than this is black and white.
inline constexpr double kMinChroma = 4.0;
// tint: natural skin's mean hue lies within these angles (CIELAB, degrees). Not judged on a
// face with more than kMaxClipped clipped, whose colours are cut off.
inline constexpr double kMinSkinHue = 30.0;
inline constexpr double kMaxSkinHue = 78.0;
// soft: less finest-octave detail than this.
inline constexpr double kMinSharpness = 0.53;
// compression: a block grid stronger than this.
inline constexpr double kMaxBlockiness = 1.35;
// underexposed: a mean luma below kMinLuma with highlights below kMinHighlight (a dark skin
// keeps its highlights). overexposed: a mean luma above kMaxLuma, or more than kMaxClipped of
// the face clipped.
inline constexpr double kMinLuma = 70.0;
inline constexpr double kMinHighlight = 150.0;
inline constexpr double kMaxLuma = 215.0;
inline constexpr double kMaxClipped = 0.15;
// uneven_light: the darker cheek's luma over the brighter one's.
inline constexpr double kMinSideRatio = 0.72;
// roll: degrees either way.
inline constexpr double kMaxRoll = 8.0;
} // namespace quality_bounds

// Sharpness is measured as if the face were at most this many pixels wide.
inline constexpr int kSharpnessFaceWidth = 256;

// The advisories that measures call for, in the order of the Advisory enumeration.
std::vector<AdvisoryNote> JudgeQuality(const QualityMeasures& m);

// Looks at the photo as the review decoded it (8-bit blue-green-red, upright, possibly reduced
// in the DCT domain in fast mode) and at the one face the review found, in that photo's pixels.
// One advisor per thread: the eye detector keeps working buffers.
class QualityAdvisor {
public:
    // eye_cascade_path may be empty or unreadable: then no roll is measured.
    explicit QualityAdvisor(const std::string& eye_cascade_path);
    bool HasEyeDetector() const { return !eyes_.empty(); }

    // reduction: 1 when the photo is at the file's own resolution; 2, 4 or 8 when it was decoded
    // reduced, where the JPEG block grid is no longer 8 pixels and compression is not assessed.
    // A face box outside the photo, or smaller than 24 pixels, gives no advisory.
    std::vector<AdvisoryNote> Assess(const cv::Mat& photo, const cv::Rect& face, int reduction = 1);
    // The measures behind Assess; nullopt where the face cannot be measured.
    std::optional<QualityMeasures> Measure(const cv::Mat& photo, const cv::Rect& face,
                                           int reduction = 1);

private:
    cv::CascadeClassifier eyes_;
};

} // namespace vrel
