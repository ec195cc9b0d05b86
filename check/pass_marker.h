#pragma once

namespace vrel {

// The 16 bytes appended to a saved photo: a file ending in them passes at once.
inline constexpr unsigned char kPassMarker[16] = {0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F,
                                                  0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0E, 0x09};

} // namespace vrel
