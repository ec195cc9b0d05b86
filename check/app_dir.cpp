#include "check/app_dir.h"

#include "platform/files.h"

namespace vrel {

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const std::string& AppDir() {
    static const std::string dir = DirectoryOf(platform::ExecutablePath());
    return dir;
}

std::string AppPath(const std::string& name) {
    return AppDir() + name;
}

} // namespace vrel
