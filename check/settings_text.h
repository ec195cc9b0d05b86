#pragma once

#include "base/error.h"

#include <string>

namespace vrel {

// The text of a settings file: NotFound where there is none, Unreadable for a folder or a file
// that cannot be read.
Result<std::string> ReadSettingsText(const std::string& path);

} // namespace vrel
