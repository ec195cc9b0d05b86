#pragma once

// Why a photo was not corrected: the rules, each blocker with its typed numbers, and which of
// them must change first in a new photo. report/ words them for the applicant.

#include "correct/backdrop/backdrop.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vrel {

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
    TooSmall,      // enlargement_needed, enlargement_max; width, height, min_width, min_height
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

// Whether a blocker of this rule ends the correction at once, whatever else was in the way:
// the work was stopped, or the photo cannot be decoded or saved.
bool EndsTheCorrection(CorrectionRule rule);

// The numbers of a blocker; each is set where its rule has it (see CorrectionRule).
struct BlockerNumbers {
    std::optional<double> pixels, pixels_max;                  // TooManyPixels
    std::optional<double> faces;                               // Faces: how many were found
    std::optional<double> enlargement_needed, enlargement_max; // TooSmall
    std::optional<double> width, height;                       // TooSmall: the photo's size
    std::optional<double> min_width, min_height;               // TooSmall: what a new one needs
    std::optional<double> roll, roll_max;                      // Tilt, in degrees
    std::optional<double> pixels_missing;                      // SpaceAbove ... SpaceRight

    // The set ones by name, for records.
    std::vector<std::pair<const char*, double>> Named() const;
};

// One reason why a photo cannot be corrected, with its numbers.
struct CorrectionBlocker {
    CorrectionBlocker(CorrectionRule r = CorrectionRule::None, BlockerNumbers n = {},
                      std::string d = {})
        : rule(r), numbers(n), detail(std::move(d)) {}

    CorrectionRule rule = CorrectionRule::None;
    BlockerNumbers numbers;
    std::string detail; // the file's, the review's, the writer's or the model's own words
    // Background: why the replacement refused (None: not tried, or detail says why it could not
    // be tried), and what its checks measured.
    BackdropRefusal backdrop = BackdropRefusal::None;
    BackdropMeasures backdrop_measures;
    // Background, Verdict: what the verifying review said of the corrected photo.
    bool verified = false;
    // TooSmall: the photo as a whole is too small, not only its face.
    bool photo_too_small = false;
    // Writer: the corrected photo stays above the saved size's upper bound at every quality.
    bool saved_too_large = false;
};

// The blockers, the most fundamental first (what must change first in a new photo); the order
// among equals is kept.
void RankBlockers(std::vector<CorrectionBlocker>& blockers);

} // namespace vrel
