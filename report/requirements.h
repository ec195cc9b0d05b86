#pragma once

#include "check/settings.h"
#include "check/settings_warnings.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace vrel {

// What the settings in force check of a photo, as an applicant must know it: the one source of
// the requirements that the page, the desktop tool, vrel-check and the report show.
struct Requirements {
    int min_width = 0, max_width = 0, min_height = 0, max_height = 0; // inclusive
    float min_aspect = 0, max_aspect = 0;  // height over width, both exclusive
    int min_kb = 0;                        // the file as handed in
    std::optional<int> max_kb;             // none: no upper bound
    int saved_width = 0, saved_height = 0; // the photo as saved after a pass
    int saved_min_kb = 0, saved_max_kb = 0;
    // The backdrops the review takes; light blue only where bgc=1.
    bool white = false, light_grey = false, light_blue = false;
    bool pass_all = false; // cast=1: every unmarked JPEG passes unchecked
};

Requirements RequirementsOf(const CheckSettings& settings);

// The requirements in plain Chinese, a sentence each: format, pixels, file size, backdrop and
// the saved photo.
std::vector<std::string> RequirementSentences(const Requirements& requirements);

// The requirements as data with their sentences, and the settings file's warnings (each as its
// key, a Chinese sentence and the log's line).
nlohmann::ordered_json RequirementsToJson(const Requirements& requirements,
                                          const std::vector<SettingsWarning>& warnings);

} // namespace vrel
