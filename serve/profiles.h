#pragma once

#include "base/error.h"
#include "setup/review_kit.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vrel::serve {

// The rules of one exam: a settings file of its own, chosen with ?profile=NAME. The service's
// own settings are the profile named "default"; those of --profiles DIR come after it.
struct ServiceProfile {
    std::string name;     // the file's name without ".vr"
    std::string path;     // the settings file
    SettingsProfile info; // its [profile] section: title and source
    ReviewKit kit;
};

inline constexpr std::string_view kDefaultProfile = "default";

// A name a profile may have: 1 to 64 letters, digits, '-' and '_', and not "default".
bool ValidProfileName(std::string_view name);

// Every NAME.vr in dir, by name, each loaded as the service's own settings are (the errors of
// LoadReviewKit, naming the file) with like's review options. Its backdrop is the one asked
// for where the profile accepts it, else the profile's default. An error as well for a folder
// that cannot be read, holds no NAME.vr, or a file whose name is not a profile's.
Result<std::vector<ServiceProfile>> LoadProfiles(const std::string& dir, const ReviewKit& like,
                                                 const std::optional<std::string>& backdrop);

} // namespace vrel::serve
