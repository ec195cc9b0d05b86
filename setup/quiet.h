#pragma once

namespace vrel {

// Keeps the image library's own log lines ("[ WARN ] imread_...") off standard error: the
// programs report what they find themselves. Called once at the start of each program.
void QuietImageLibrary();

} // namespace vrel
