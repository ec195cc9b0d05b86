#pragma once

#include "check/check_run.h"
#include "check/settings.h"
#include "correct/framing.h"

#include <opencv2/core.hpp>

#include <string>
#include <utility>
#include <vector>

namespace vrel {

enum class CorrectionStatus {
    Corrected,     // the corrected photo passed the full review
    AlreadyPasses, // nothing to correct
    Refused,       // the reason says why, and what the applicant can do
};

// What the correction of one photo came to.
struct Correction {
    CorrectionStatus status = CorrectionStatus::Refused;

    // Corrected:
    std::string format;               // the photo's own format ("jpeg", "png", ...)
    cv::Rect crop;                    // in the upright photo
    double scale = 0;                 // normalised width / crop width
    int quality = 0;                  // the writer's JPEG quality
    std::vector<unsigned char> bytes; // the saved file: within the output limits, marked
    cv::Mat photo;                    // the normalised photo that the bytes encode
    ReviewResult review;              // the review of the saved file with every test: Passed
    int rounds = 0;                   // crops tried

    // Refused (and AlreadyPasses): what it comes to, for a program and for the applicant.
    std::string rule;   // "faces", "too_small", "space_above", "background", ...
    std::string reason; // one sentence in Chinese
    std::vector<std::pair<std::string, double>> numbers;
};

// The longest one correction may take, whatever its caller allows.
inline constexpr std::chrono::milliseconds kCorrectionTimeLimit{60'000};

// Corrects photos that the review rejected for reasons that need no new photograph: the
// framing (crop and scale, never stretched, nothing invented), the pixel size, the file size
// and the format. A correction counts only when the corrected photo passes the full review, as
// a fresh file would.
class PhotoCorrector {
public:
    // data_dir holds the cascade file, as for the review.
    PhotoCorrector(const CheckSettings& settings, std::string data_dir);

    // Corrects the bytes of a photo file, given the review it got. limit, where given, stops
    // the work early (a refusal as undecodable); the verifying review's own time limit holds
    // besides.
    Correction Correct(const unsigned char* data, size_t size, const ReviewResult& original,
                       const WorkLimit* limit = nullptr);
    Correction CorrectFile(const std::string& path, const ReviewResult& original,
                           const WorkLimit* limit = nullptr);

    const FramingTargets& Targets() const { return targets_; }

private:
    CheckSettings settings_;
    FramingTargets targets_;
    PhotoReviewer verifier_; // every test, the marker ignored; its detector serves both
};

} // namespace vrel
