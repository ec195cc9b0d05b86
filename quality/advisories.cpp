#include "quality/advisories.h"

#include "quality/marks_measures.h"
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
    case Advisory::EyesClosed:
        return "eyes_closed";
    case Advisory::MouthOpen:
        return "mouth_open";
    case Advisory::Yaw:
        return "yaw";
    case Advisory::Pitch:
        return "pitch";
    case Advisory::Gaze:
        return "gaze";
    case Advisory::HeadSize:
        return "head_size";
    case Advisory::EyeLine:
        return "eye_line";
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
    if (m.eye_openness && *m.eye_openness < b::kMinEyeOpenness) {
        notes.push_back({Advisory::EyesClosed, *m.eye_openness, b::kMinEyeOpenness});
    } else if (m.lid_opening && *m.lid_opening < b::kMinLidOpening) {
        notes.push_back({Advisory::EyesClosed, *m.lid_opening, b::kMinLidOpening});
    }
    if (m.mouth_opening && *m.mouth_opening > b::kMaxMouthOpening) {
        notes.push_back({Advisory::MouthOpen, *m.mouth_opening, b::kMaxMouthOpening});
    }
    // Either way: the bound on the side of the measure.
    const auto beyond = [&](Advisory code, const std::optional<double>& value, double bound) {
        if (value && std::abs(*value) > bound) {
            notes.push_back({code, *value, *value > 0 ? bound : -bound});
        }
    };
    beyond(Advisory::Yaw, m.yaw, b::kMaxYaw);
    beyond(Advisory::Pitch, m.pitch, b::kMaxPitch);
    beyond(Advisory::Gaze, m.gaze, b::kMaxGaze);
    // Within a range: the bound passed.
    const auto within = [&](Advisory code, const std::optional<double>& value, double low,
                            double high) {
        if (value && (*value < low || *value > high)) {
            notes.push_back({code, *value, *value < low ? low : high});
        }
    };
    within(Advisory::HeadSize, m.eye_to_chin, b::kMinEyeToChin, b::kMaxEyeToChin);
    within(Advisory::EyeLine, m.eye_line, b::kMinEyeLine, b::kMaxEyeLine);
    return notes;
}

QualityAdvisor::QualityAdvisor(const std::string& eye_cascade_path, const std::string& models_dir)
    : landmarker_(models_dir) {
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
    // The mesh's eye corners give the roll; the eye detector only where there is no mesh.
    if (!MeasureMarks(photo, face, m)) {
        m.roll = quality::MeasureRoll(*view, eyes_);
    }
    return m;
}

cv::Rect2f MeshBoxOf(const cv::Rect& face) {
    // The mesh is cropped about the face detector's box; the cascade's box sits higher and is
    // larger: its centre an eighth of its height above that box's, its side 1/0.86 of it.
    return {face.x + 0.09f * face.width, face.y + 0.19f * face.height, 0.86f * face.width,
            0.86f * face.height};
}

std::optional<FaceMarks> QualityAdvisor::MeasureMarks(const cv::Mat& photo, const cv::Rect& face,
                                                      QualityMeasures& m) {
    std::optional<FaceMarks> marks = landmarker_.Mark(photo, MeshBoxOf(face));
    if (!marks || marks->presence < kMinPresence) {
        return std::nullopt;
    }
    m.roll = quality::MeasureMarksRoll(*marks);
    m.eye_openness = quality::MeasureEyeOpenness(*marks);
    m.mouth_opening = quality::MeasureMouthOpening(*marks);
    if (landmarker_.CanMeasurePose()) {
        if (const auto pose = quality::MeasurePose(*marks, landmarker_.Canonical(), photo.size())) {
            m.yaw = pose->yaw;
            m.pitch = pose->pitch;
        }
    }
    // The iris network costs as much as the mesh; most eyes look into the lens, and a glance
    // at their dark pixels tells which may not. It also reads lids that the mesh leaves in doubt.
    const std::optional<double> glance = quality::GlanceGaze(photo, *marks);
    const bool lids_in_doubt = *m.eye_openness < quality_bounds::kEyesInDoubt;
    if (!gaze_always_ && !lids_in_doubt && glance &&
        std::abs(*glance) <= quality_bounds::kGazeGlance) {
        m.gaze = glance;
    } else {
        landmarker_.MarkEyes(photo, *marks);
        m.gaze = quality::MeasureGaze(*marks);
        m.lid_opening = quality::MeasureLidOpening(*marks);
    }
    const quality::HeadPlace place = quality::MeasureHeadPlace(*marks, photo.size());
    m.eye_to_chin = place.eye_to_chin;
    m.eye_line = place.eye_line;
    return marks;
}

std::vector<AdvisoryNote> QualityAdvisor::Assess(const cv::Mat& photo, const cv::Rect& face,
                                                 int reduction) {
    const std::optional<QualityMeasures> m = Measure(photo, face, reduction);
    return m ? JudgeQuality(*m) : std::vector<AdvisoryNote>{};
}

} // namespace vrel
