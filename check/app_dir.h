#pragma once

#include <string>

namespace vrel {

// The directory of the running executable, ending in '/'; empty when it cannot be found.
// Where the operating system keeps one path form, the wide and narrow forms are this one
// UTF-8 string.
const std::string& AppDir();

// A file in the application directory: AppDir() followed directly by the name.
std::string AppPath(const std::string& name);

// The directory part of a path, up to and including its last '/'; empty without one.
std::string DirectoryOf(const std::string& path);

} // namespace vrel
