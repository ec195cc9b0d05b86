#include "quality/advisories.h"

#include "quality/measures.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace vrel {

const char* AdvisoryCode(Advisory a) {
    switch (a) {
    case Advisory::Colour:
        return "colour";
    case Advisory::Tint:
        return "tint";
    case Advisory::Soft:
        return "soft";
    case Advisory::Compression:
        return "compression";
    case Advisory::Underexposed:
        return "underexposed";
    case Advisory::Overexposed:
        return "overexposed";
    case Advisory::UnevenLight:
        return "uneven_light";
    case Advisory::Roll:
        return "roll";
    }
    return "";
}

std::vector<AdvisoryNote> JudgeQuality(const QualityMeasures& m) {
    namespace b = quality_bounds;
    std::vector<AdvisoryNote> notes;
    if (m.chroma < b::kMinChroma) {
        notes.push_back({Advisory::Colour, m.chroma, b::kMinChroma});
    } else if (m.clipped <= b::kMaxClipped && (m.hue < b::kMinSkinHue || m.hue > b::kMaxSkinHue)) {
        // (Clipped colours lean yellow: a face clipped that much is overexposed, not tinted.)
        // The bound given is the one nearer the hue round the circle.
        const double below = std::fmod(b::kMinSkinHue - m.hue + 360.0, 360.0);
        const double above = std::fmod(m.hue - b::kMaxSkinHue + 360.0, 360.0);
        notes.push_back({Advisory::Tint, m.hue, below < above ? b::kMinSkinHue : b::kMaxSkinHue});
    }
    if (m.sharpness < b::kMinSharpness) {
        notes.push_back({Advisory::Soft, m.sharpness, b::kMinSharpness});
    }
    if (m.blockiness && *m.blockiness > b::kMaxBlockiness) {
        notes.push_back({Advisory::Compression, *m.blockiness, b::kMaxBlockiness});
    }
    if (m.luma < b::kMinLuma && m.highlight < b::kMinHighlight) {
        notes.push_back({Advisory::Underexposed, m.luma, b::kMinLuma});
    }
    if (m.luma > b::kMaxLuma) {
        notes.push_back({Advisory::Overexposed, m.luma, b::kMaxLuma});
    } else if (m.clipped > b::kMaxClipped) {
        notes.push_back({Advisory::Overexposed, m.clipped, b::kMaxClipped});
    }
    if (m.side_ratio < b::kMinSideRatio) {
        notes.push_back({Advisory::UnevenLight, m.side_ratio, b::kMinSideRatio});
    }
    if (m.roll && std::abs(*m.roll) > b::kMaxRoll) {
        notes.push_back({Advisory::Roll, *m.roll, *m.roll > 0 ? b::kMaxRoll : -b::kMaxRoll});
    }
    return notes;
}

QualityAdvisor::QualityAdvisor(const std::string& eye_cascade_path) {
    // The image library fills its colour conversion tables on first use, and two threads doing
    // that at once lose one set: fill them once, before any advisor measures.
    static std::once_flag tables;
    std::call_once(tables, [] {
        cv::Mat3f pixel(1, 1, cv::Vec3f(0.5f, 0.5f, 0.5f));
        cv::cvtColor(pixel, pixel, cv::COLOR_BGR2Lab);
    });
    // CascadeClassifier::load complains on standard error about a missing file; look first.
    std::error_code ec;
    if (!eye_cascade_path.empty() && std::filesystem::is_regular_file(eye_cascade_path, ec)) {
        try {
            eyes_.load(eye_cascade_path);
        } catch (const cv::Exception&) {
            eyes_ = cv::CascadeClassifier();
        }
    }
}

std::optional<QualityMeasures> QualityAdvisor::Measure(const cv::Mat& photo, const cv::Rect& face,
                                                       int reduction) {
    const std::optional<quality::FaceView> view =
        quality::MakeFaceView(photo, face, kSharpnessFaceWidth);
    if (!view) {
        return std::nullopt;
    }
    QualityMeasures m;
    const quality::MeanColour colour = quality::MeasureColour(*view);
    m.chroma = colour.chroma;
    m.hue = colour.hue;
    m.sharpness = quality::MeasureSharpness(*view);
    if (reduction == 1) {
        m.blockiness = quality::MeasureBlockiness(*view);
    }
    const quality::Exposure exposure = quality::MeasureExposure(*view);
    m.luma = exposure.luma;
    m.clipped = exposure.clipped;
    m.highlight = exposure.highlight;
    m.side_ratio = exposure.side_ratio;
    m.roll = quality::MeasureRoll(*view, eyes_);
    return m;
}

std::vector<AdvisoryNote> QualityAdvisor::Assess(const cv::Mat& photo, const cv::Rect& face,
                                                 int reduction) {
    const std::optional<QualityMeasures> m = Measure(photo, face, reduction);
    return m ? JudgeQuality(*m) : std::vector<AdvisoryNote>{};
}

} // namespace vrel
