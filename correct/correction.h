#pragma once

#include "check/check_run.h"
#include "check/settings.h"
#include "correct/backdrop/backdrop.h"
#include "correct/backdrop_colour.h"
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
    Convert,    // the photo as it is: format, pixel size, compression
    Reframe,    // a new crop and scale
    Backdrop,   // the backdrop replaced with a plain colour
    Straighten, // the head's tilt turned upright
    Extend,     // the photo extended above or beside the person with its plain backdrop
};
// A stable name for programs ("convert", "reframe", "backdrop", "straighten", "extend").
const char* StepName(CorrectionStep step);

// Why a photo was not corrected. The report words each for the applicant (report/).
enum class CorrectionRule {
    None,
    Passed,        // nothing to correct
    Unreadable,    // the file cannot be read (detail)
    Damaged,       // its data ends before the picture is complete
    TooManyPixels, // pixels, pixels_max
    Undecodable,   // nothing to decode
    Stopped,       // past the time limit, or cancelled (named "undecodable")
    Review,        // the review itself failed (detail)
    NotAPhoto,     // no picture format this reads
    Transparent,   // a picture with transparent parts
    Faces,         // no face, or several (faces)
    TooSmall,      // enlargement_needed, enlargement_max
    Tilt,          // roll, roll_max
    Background,    // a backdrop the review refuses that was not replaced
    SpaceAbove,    // pixels_missing
    SpaceBelow,
    SpaceLeft,
    SpaceRight,
    Writer,  // the corrected photo could not be saved (detail)
    Verdict, // the verifying review still rejects the corrected photo
};
// A stable name for programs ("too_small", "space_above", ...).
const char* CorrectionRuleName(CorrectionRule rule);

// One reason why a photo cannot be corrected, with its numbers.
struct CorrectionBlocker {
    CorrectionBlocker(CorrectionRule r = CorrectionRule::None,
                      std::vector<std::pair<std::string, double>> n = {}, std::string d = {})
        : rule(r), numbers(std::move(n)), detail(std::move(d)) {}

    CorrectionRule rule = CorrectionRule::None;
    std::vector<std::pair<std::string, double>> numbers;
    std::string detail; // the file's, the review's, the writer's or the model's own words
    // Background: why the replacement refused (None: not tried, or detail says why it could not
    // be tried).
    BackdropRefusal backdrop = BackdropRefusal::None;
    // Background, Verdict: what the verifying review said of the corrected photo.
    bool verified = false;
    // TooSmall: the photo as a whole is too small, not only its face.
    bool photo_too_small = false;

    // The number of that name; 0 where the blocker has none.
    double Number(const std::string& name) const {
        for (const auto& [key, value] : numbers) {
            if (key == name) {
                return value;
            }
        }
        return 0;
    }
};

// Warnings about a corrected photo that passed.
inline constexpr const char* kWarningEnlarged = "enlarged"; // little fine detail: an enlargement

// What the correction of one photo came to.
struct Correction {
    CorrectionStatus status = CorrectionStatus::Refused;

    // Corrected:
    std::string format;                // the photo's own format ("jpeg", "png", ...)
    cv::Rect crop;                     // in the upright photo
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
    std::vector<std::pair<std::string, double>> numbers;
    std::vector<CorrectionBlocker> blockers;
};

// Where the backdrop model lives below the data folder.
inline constexpr const char* kBackdropModelFile = "models/selfie_segmentation.onnx";

// Tilts up to this many degrees are straightened; beyond, the photo is refused.
inline constexpr double kMaxStraighten = 10.0;
// Tilts below this are left as they are: the estimate is good to about two degrees.
inline constexpr double kStraightenFrom = 4.0;
// Measures of one head at different scales agree within this many degrees.
inline constexpr double kRollAgreement = 3.0;

// The head's roll in degrees (positive: leaning counter-clockwise) from the eyes in the face box.
// The eye detector now and then takes a brow for an eye at one scale and not at the next, so
// the face is measured at three scales and the roll counts only where two of them agree;
// nullopt otherwise.
std::optional<double> MeasureHeadRoll(const cv::Mat& photo, const cv::Rect& face,
                                      QualityAdvisor& advisor);

// Whether a photo with this review is one the correction goes to work on: not a pass, nor a
// file that could not be read, was cut short, has too many pixels or could not be decoded
// (those it refuses untried). Whether it succeeds shows only once it has been tried.
bool MayCorrect(const ReviewResult& review);

// The longest one correction may take, whatever its caller allows.
inline constexpr std::chrono::milliseconds kCorrectionTimeLimit{60'000};

// Corrects photos that the review rejected for reasons that need no new photograph, with the
// least change that works: the photo as it is (format, pixel size, file size), then a new
// framing (crop and scale, never stretched, nothing invented), then a new plain backdrop with
// the framing; a tilted head is straightened first. A correction counts only when the corrected
// photo passes the full review, as a fresh file would.
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
