#pragma once

#include "base/error.h"
#include "check/work_limit.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace vrel {

// The picture formats a photo may be handed in as, told by their first bytes.
enum class ImageFormat { Jpeg, Png, Webp, Bmp, Tiff };

const char* FormatName(ImageFormat format);

struct ImageInfo {
    ImageFormat format = ImageFormat::Jpeg;
    int width = 0; // as the file declares it (a JPEG's turned upright by its orientation)
    int height = 0;
    // What its decoder holds besides the picture, at most, in pixels of the picture (3 bytes
    // each): a TIFF's strips or tiles, which may be far larger than the picture.
    int64_t extra_pixels = 0;

    // What decoding it costs, in pixels.
    int64_t DecodedPixels() const { return int64_t{width} * height + extra_pixels; }
};

// The format and declared size of a picture, read from its headers without decoding;
// std::nullopt for anything else or headers that cannot be read.
std::optional<ImageInfo> SniffImage(const unsigned char* data, size_t size);

// A picture decoded for the correction: 8-bit blue-green-red, upright, reduced by 1/denom in
// each direction (in the DCT domain for a JPEG, by area averaging otherwise).
struct DecodedImage {
    cv::Mat image;
    int denom = 1;            // how much it was reduced
    Error error;              // why it could not be decoded
    bool damaged = false;     // a JPEG whose data ends before the image is complete
    bool transparent = false; // a picture with transparent parts, which a photo has none of
};
// Decoding stops when limit says so, checked between rows, pieces or bands; a BMP, a plain copy
// of its pixels, is decoded in one call.
DecodedImage DecodeImage(const unsigned char* data, size_t size, const ImageInfo& info, int denom,
                         const WorkLimit* limit = nullptr);

} // namespace vrel
