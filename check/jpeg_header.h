#pragma once

#include "check/photo_source.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vrel {

// What a JPEG's headers declare, read without decoding any image data.
struct JpegHeader {
    int width = 0; // as stored in the frame header
    int height = 0;
    int orientation = 1; // EXIF orientation tag, 1 when absent
    // Size after the decoder turns the image upright by its orientation (5 to 8 swap sides).
    int UprightWidth() const { return orientation >= 5 && orientation <= 8 ? height : width; }
    int UprightHeight() const { return orientation >= 5 && orientation <= 8 ? width : height; }
    int64_t Pixels() const { return int64_t{width} * height; }
};

// Walks the marker segments from the start of the photo up to the first frame header.
// Returns std::nullopt when no frame header is found before the scan data or the end.
std::optional<JpegHeader> ReadJpegHeader(PhotoSource& source);

// The orientation tag (0x0112) of IFD0 in an APP1 "Exif" payload; 1 when absent or unreadable.
int ExifOrientationOf(const unsigned char* app1, size_t size);

} // namespace vrel
