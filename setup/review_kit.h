#pragma once

#include "base/error.h"
#include "check/check_run.h"
#include "check/settings.h"
#include "check/settings_warnings.h"
#include "correct/correction.h"
#include "report/annotate.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vrel {

// What every front end sets up before it reviews a photo, once: the settings in force, the
// application's data folder, how each worker's reviewer reviews, the colour a replaced backdrop
// gets, what the workers need besides the reviewer, and whether corrections can run.
struct ReviewKit {
    CheckSettings settings;
    std::string data_dir;            // ends in '/'
    ReviewOptions review = Reused(); // a worker keeps its detector and buffers
    BackdropColour backdrop = WhiteBackdrop();
    bool corrections = true; // each worker gets a corrector
    bool labels = true;      // and the verdict labels of explanation pictures
    // Why backdrops cannot be replaced (the backdrop model is missing or damaged); none where
    // they can. The rest of the correction works without it.
    Error correction_unavailable;
    // Why some landmark measures (eyes, mouth, pose, gaze, head size, the face count's second
    // opinion) are left out: a landmark network or the canonical face is missing or damaged.
    // The review's verdicts do not depend on them.
    Error landmarks_unavailable;
    // What the settings file holds that is read, but is likely a slip: told at start-up.
    std::vector<SettingsWarning> warnings;

    static ReviewOptions Reused() {
        ReviewOptions options;
        options.reuse_detector = true;
        options.reuse_buffers = true;
        return options;
    }
};

// The kit from a settings file and a data folder: the settings and the face detector checked
// (the errors of LoadReviewSetup), the settings file's warnings, the backdrop colour the default
// one (white, or the first the settings accept where they refuse white), and, for corrections, the
// backdrop model tried once.
Result<ReviewKit> LoadReviewKit(const std::string& settings_path, std::string data_dir,
                                bool corrections);

// The backdrop colour a front end was asked for (white, blue or #RRGGBB), which the settings
// must accept; none asked for: the default one.
Result<BackdropColour> KitBackdrop(const std::optional<std::string>& asked,
                                   const CheckSettings& settings);

// What one worker reviews with, made on its own thread: its own reviewer with its face
// detector, and, as the kit says, its corrector and the verdict labels.
struct WorkerTools {
    explicit WorkerTools(const ReviewKit& kit);
    const CheckSettings settings;
    PhotoReviewer reviewer;
    std::optional<PhotoCorrector> corrector;
    std::optional<VerdictLabels> labels;
};

// One worker's tools; the error says why its face detector cannot be read.
Result<std::unique_ptr<WorkerTools>> MakeTools(const ReviewKit& kit);

// A worker pool's factory of tools from the kit: each worker's, or an ErrorThrown that says
// why it cannot have them.
std::function<std::unique_ptr<WorkerTools>()> ToolsFactory(ReviewKit kit);

} // namespace vrel
