#include "serve/profiles.h"

#include "check/settings_text.h"

#include <algorithm>
#include <filesystem>

namespace vrel::serve {

bool ValidProfileName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name == kDefaultProfile) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

Result<std::vector<ServiceProfile>> LoadProfiles(const std::string& dir, const ReviewKit& like,
                                                 const std::optional<std::string>& backdrop) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> files;
    for (fs::directory_iterator it(fs::u8path(dir), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".vr") {
            files.push_back(it->path());
        }
    }
    if (ec) {
        return Error(ErrorCode::Unreadable,
                     "--profiles: cannot read the folder '" + dir + "': " + ec.message());
    }
    if (files.empty()) {
        return Error(ErrorCode::NotFound, "--profiles: the folder '" + dir + "' holds no NAME.vr");
    }
    std::sort(files.begin(), files.end());
    std::vector<ServiceProfile> profiles;
    for (const fs::path& file : files) {
        ServiceProfile profile;
        profile.name = file.stem().u8string();
        profile.path = file.u8string();
        if (!ValidProfileName(profile.name)) {
            return Error(ErrorCode::Invalid,
                         "--profiles: '" + profile.path +
                             "': a profile's name is 1 to 64 letters, digits, '-' or '_', and "
                             "not 'default'");
        }
        Result<ReviewKit> kit = LoadReviewKit(profile.path, like.data_dir, like.corrections);
        if (!kit) {
            return kit.Err();
        }
        profile.kit = std::move(*kit);
        profile.kit.review = like.review;
        profile.kit.labels = like.labels;
        if (backdrop) {
            if (Result<BackdropColour> colour = KitBackdrop(backdrop, profile.kit.settings)) {
                profile.kit.backdrop = *colour;
            }
        }
        if (Result<std::string> text = ReadSettingsText(profile.path)) {
            profile.info = ReadSettingsProfile(*text);
        }
        profiles.push_back(std::move(profile));
    }
    return profiles;
}

} // namespace vrel::serve
