#pragma once

#include <string>

namespace vrel {

// The application directory, ending in '/': where setting.vr, tips/, labels/ and the cascade
// file lie. That is the running executable's own folder, as in a build or a portable copy; for an
// executable installed in a bin/ folder whose data lies in the installation's
// lib/vrelpicturecheck/ (/usr/bin and /usr/lib/vrelpicturecheck/), that folder. Empty when the
// executable's path cannot be found. Where the operating system keeps one path form, the wide
// and narrow forms are this one UTF-8 string.
const std::string& AppDir();

// A file in the application directory: AppDir() followed directly by the name.
std::string AppPath(const std::string& name);

// The directory part of a path, up to and including its last '/'; empty without one.
std::string DirectoryOf(const std::string& path);

// The application directory of an executable at exe_path (AppDir() for the running one).
std::string AppDirFor(const std::string& exe_path);

} // namespace vrel
