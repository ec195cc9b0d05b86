#pragma once

#include "check/check_run.h"
#include "check/settings.h"
#include "correct/backdrop/backdrop.h"
#include "correct/backdrop_colour.h"
#include "correct/blockers.h"
#include "correct/framing.h"

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vrel {

enum class CorrectionStatus {
    Corrected,     // the corrected photo passed the full review
    AlreadyPasses, // nothing to correct
    Refused,       // the reason says why, and what the applicant can do
};

// What a correction did to the photo, least change first. Every corrected photo is at least
// converted: written anew as a marked JPEG within the output limits.
enum class CorrectionStep {
    Trim,       // plain borders cut off first: a screenshot's bars, a scan's margins
    Convert,    // the photo as it is: format, pixel size, compression
    Reframe,    // a new crop and scale
    Backdrop,   // the backdrop replaced with a plain colour
    Straighten, // the head's tilt turned upright
    Extend,     // the photo extended above or beside the person with its plain backdrop
};
// A stable name for programs ("trim", "convert", "reframe", "backdrop", "straighten",
// "extend").
const char* StepName(CorrectionStep step);

// Warnings about a corrected photo that passed.
inline constexpr const char* kWarningEnlarged = "enlarged"; // little fine detail: an enlargement

// What the correction of one photo came to.
struct Correction {
    CorrectionStatus status = CorrectionStatus::Refused;

    // Corrected:
    std::string format;                // the photo's own format ("jpeg", "png", ...)
    cv::Rect crop;                     // in the upright photo (its borders cut off first)
    double scale = 0;                  // normalised width / crop width
    int quality = 0;                   // the writer's JPEG quality
    std::vector<unsigned char> bytes;  // the saved file: within the output limits, marked
    cv::Mat photo;                     // the normalised photo that the bytes encode
    ReviewResult review;               // the review of the saved file with every test: Passed
    int rounds = 0;                    // crops tried
    std::vector<CorrectionStep> steps; // what was done, in the order of CorrectionStep
    std::optional<double> roll;        // the head's tilt on the original, degrees, where measured
    std::vector<std::string> warnings; // kWarningEnlarged
    // Extend: the pixels added above, left and right of the photo, in the corrected photo's
    // pixels (never below).
    std::optional<Overhang> extended;

    // Refused (and AlreadyPasses): every blocker that applies, the most fundamental first; rule
    // and numbers are the first one's. report/ words them for the applicant.
    CorrectionRule rule = CorrectionRule::None;
    BlockerNumbers numbers;
    std::vector<CorrectionBlocker> blockers;
};

// Where the backdrop model lives below the data folder.
inline constexpr const char* kBackdropModelFile = "models/selfie_segmentation.onnx";

// Tilts up to this many degrees are straightened; beyond, the photo is refused.
inline constexpr double kMaxStraighten = 10.0;
// Tilts below this are left as they are: the estimate is good to about two degrees.
inline constexpr double kStraightenFrom = 4.0;
// Whether a photo with this review is one the correction goes to work on: not a pass, nor a
// file that could not be read, was cut short, has too many pixels or could not be decoded
// (those it refuses untried). Whether it succeeds shows only once it has been tried.
bool MayCorrect(const ReviewResult& review);

// The longest one correction may take, whatever its caller allows.
inline constexpr std::chrono::milliseconds kCorrectionTimeLimit{60'000};

// Corrects photos that the review rejected for reasons that need no new photograph, with the
// least change that works. The attempts, in order: the photo as it is (format, pixel size, file
// size); a new framing (crop and scale, never stretched, nothing invented), of the head turned
// upright where it leans; the photo extended above and beside the person with its plain wall;
// a new plain backdrop, with the framing and the extension it allows. A correction counts only
// when the corrected photo passes the full review, as a fresh file would.
class PhotoCorrector {
public:
    // data_dir holds the cascade files and the backdrop model (kBackdropModelFile), as for the
    // review. backdrop: the colour a replaced backdrop gets; it must be one the settings accept
    // (BackdropColourAccepted).
    PhotoCorrector(const CheckSettings& settings, std::string data_dir,
                   BackdropColour backdrop = WhiteBackdrop());

    // Why backdrops cannot be replaced (the model file is missing or damaged); no error when
    // they can. The rest of the correction works without it.
    const Error& SetupError() const { return setup_error_; }

    // Corrects the bytes of a photo file, given the review it got. limit, where given, stops
    // the work early (a refusal as undecodable); the verifying review's own time limit holds
    // besides. backdrop, where given, replaces the corrector's own colour for this photo.
    Correction Correct(const unsigned char* data, size_t size, const ReviewResult& original,
                       const WorkLimit* limit = nullptr,
                       const std::optional<BackdropColour>& backdrop = std::nullopt);
    Correction CorrectFile(const std::string& path, const ReviewResult& original,
                           const WorkLimit* limit = nullptr,
                           const std::optional<BackdropColour>& backdrop = std::nullopt);

    const FramingTargets& Targets() const { return targets_; }
    const BackdropColour& Backdrop() const { return backdrop_; }

private:
    CheckSettings settings_;
    FramingTargets targets_;
    BackdropColour backdrop_;
    PhotoReviewer verifier_; // every test, the marker ignored; its detector serves both
    std::optional<BackdropReplacer> replacer_;
    Error setup_error_;
};

} // namespace vrel
