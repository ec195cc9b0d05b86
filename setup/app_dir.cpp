#include "setup/app_dir.h"

#include "check/settings.h"
#include "platform/files.h"

#include <filesystem>
#include <system_error>

namespace vrel {

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string AppDirFor(const std::string& exe_path) {
    const std::string own = DirectoryOf(exe_path);
    std::error_code ec;
    auto holds_settings = [&](const std::string& dir) {
        return std::filesystem::is_regular_file(std::filesystem::u8path(dir + kSettingsFileName),
                                                ec);
    };
    if (own.empty() || holds_settings(own)) {
        return own;
    }
    const std::string installed = own + "../lib/vrelpicturecheck/";
    if (own.size() >= 5 && own.compare(own.size() - 5, 5, "/bin/") == 0 &&
        holds_settings(installed)) {
        return std::filesystem::u8path(installed).lexically_normal().u8string();
    }
    return own;
}

const std::string& AppDir() {
    static const std::string dir = AppDirFor(platform::ExecutablePath());
    return dir;
}

std::string AppPath(const std::string& name) {
    return AppDir() + name;
}

} // namespace vrel
