#pragma once

#include <cstdint>
#include <cstdio>
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
};

// Walks the marker segments from the start of an open file up to the first frame header.
// Returns std::nullopt when no frame header is found before the scan data or the end.
std::optional<JpegHeader> ReadJpegHeader(std::FILE* file);

} // namespace vrel
