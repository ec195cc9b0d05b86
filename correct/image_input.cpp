#include "correct/image_input.h"

#include "check/jpeg_decode.h"
#include "check/jpeg_header.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <png.h>
#include <webp/decode.h>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace vrel {
namespace {

uint32_t Be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t Le16(const unsigned char* p) {
    return p[0] | (uint32_t{p[1]} << 8);
}
uint32_t Le24(const unsigned char* p) {
    return Le16(p) | (uint32_t{p[2]} << 16);
}
uint32_t Le32(const unsigned char* p) {
    return Le24(p) | (uint32_t{p[3]} << 24);
}

bool Starts(const unsigned char* data, size_t size, const char* magic, size_t n) {
    return size >= n && std::memcmp(data, magic, n) == 0;
}

std::optional<ImageInfo> Sized(ImageFormat format, int64_t width, int64_t height) {
    if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) {
        return std::nullopt;
    }
    return ImageInfo{format, static_cast<int>(width), static_cast<int>(height)};
}

// A WebP's size as libwebp reads it, from the same features its decoder allocates for.
std::optional<ImageInfo> Webp(const unsigned char* d, size_t size) {
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(d, size, &features) != VP8_STATUS_OK) {
        return std::nullopt;
    }
    return Sized(ImageFormat::Webp, features.width, features.height);
}

std::optional<ImageInfo> Tiff(const unsigned char* d, size_t size) {
    const bool little = d[0] == 'I';
    auto u16 = [&](size_t at) -> uint32_t {
        return little ? Le16(d + at) : (uint32_t{d[at]} << 8) | d[at + 1];
    };
    auto u32 = [&](size_t at) -> uint32_t { return little ? Le32(d + at) : Be32(d + at); };
    const uint32_t ifd = u32(4);
    if (ifd < 8 || ifd > size || size - ifd < 2) {
        return std::nullopt;
    }
    // The decoder takes the first of a tag given twice, whatever its integer type, and
    // ignores the rest: so does this. -1: given in a type that is no size.
    const uint32_t count = u16(ifd);
    std::optional<int64_t> width, height, tile_width, tile_height;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = ifd + 2 + size_t{i} * 12;
        if (entry + 12 > size) {
            break;
        }
        const uint32_t tag = u16(entry), type = u16(entry + 2);
        int64_t value = -1;
        switch (type) {
        case 3: // SHORT
            value = u16(entry + 8);
            break;
        case 4: // LONG
            value = u32(entry + 8);
            break;
        case 8: // SSHORT
            value = static_cast<int16_t>(u16(entry + 8));
            break;
        case 9: // SLONG
            value = static_cast<int32_t>(u32(entry + 8));
            break;
        default:
            break;
        }
        std::optional<int64_t>* field = tag == 256   ? &width
                                        : tag == 257 ? &height
                                        : tag == 322 ? &tile_width
                                        : tag == 323 ? &tile_height
                                                     : nullptr;
        if (field != nullptr && !*field) {
            *field = value;
        }
    }
    std::optional<ImageInfo> info = Sized(ImageFormat::Tiff, width.value_or(0), height.value_or(0));
    if (info && (tile_width || tile_height)) {
        const int64_t tw = tile_width.value_or(0), th = tile_height.value_or(0);
        if (tw <= 0 || th <= 0 || tw > INT32_MAX || th > INT32_MAX) {
            return std::nullopt;
        }
        // Every tile the picture touches, whole, and one more as the decoder's buffer.
        const int64_t across = (info->width + tw - 1) / tw, down = (info->height + th - 1) / th;
        const int64_t tiled = across * tw * down * th;
        info->extra_pixels = tiled - int64_t{info->width} * info->height + tw * th;
    }
    return info;
}

// Text chunks a PNG may carry: a photo's metadata needs a few. libpng inflates every
// compressed one (up to 8 MB each) before the first row, in one call that nothing interrupts:
// a file of a thousand held a worker for most of a minute.
constexpr int kMaxPngTextChunks = 32;

// The text chunks before the image data, walked by their lengths as libpng walks them; -1 where
// the chunks do not lie within the file.
int PngTextChunks(const unsigned char* d, size_t size) {
    int text = 0;
    for (size_t at = 8; at + 12 <= size;) {
        const uint32_t length = Be32(d + at);
        const unsigned char* type = d + at + 4;
        if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) {
            return text;
        }
        if (std::memcmp(type, "tEXt", 4) == 0 || std::memcmp(type, "zTXt", 4) == 0 ||
            std::memcmp(type, "iTXt", 4) == 0) {
            ++text;
        }
        if (length > size - at - 12) {
            return -1;
        }
        at += 12 + size_t{length};
    }
    return text;
}

// A PNG being read from memory, and what libpng said when it gave up. It lies on the heap:
// what the rows are read into must survive libpng's jump back.
struct PngReading {
    const unsigned char* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    std::string message;
    cv::Mat bgra;
};

void PngReadBytes(png_structp png, png_bytep out, png_size_t n) {
    auto* r = static_cast<PngReading*>(png_get_io_ptr(png));
    if (n > r->size - r->at) {
        png_error(png, "the file ends early");
    }
    std::memcpy(out, r->data + r->at, n);
    r->at += n;
}

void PngFailed(png_structp png, png_const_charp message) {
    static_cast<PngReading*>(png_get_error_ptr(png))->message = message;
    png_longjmp(png, 1);
}

void PngWarned(png_structp, png_const_charp) {} // "iCCP: known incorrect sRGB profile", ...

// The memory one ancillary chunk may take, inflated: a photo's colour profile needs far less.
constexpr png_alloc_size_t kMaxPngChunkBytes = png_alloc_size_t{4} << 20;

enum class PngRead { Done, Failed, OtherSize, Stopped };

// Reads the header, checks that libpng's size is the declared one before anything is
// allocated for it, then the rows one by one as BGRA, checking the limit as it goes. Nothing
// here may need destroying: libpng jumps back to the start on an error.
PngRead ReadPngRows(png_structp png, png_infop info, const ImageInfo& declared,
                    const WorkLimit* limit, PngReading& r) {
    if (setjmp(png_jmpbuf(png))) {
        return PngRead::Failed;
    }
    png_set_read_fn(png, &r, PngReadBytes);
    png_set_chunk_malloc_max(png, kMaxPngChunkBytes);
    png_set_chunk_cache_max(png, kMaxPngTextChunks + 64);
    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int depth = 0, colour = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr);
    if (width != static_cast<png_uint_32>(declared.width) ||
        height != static_cast<png_uint_32>(declared.height)) {
        return PngRead::OtherSize;
    }
    png_set_expand(png); // palette and transparency to RGBA, low bit depths to 8 bits
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t{width} * 4) {
        png_error(png, "unexpected row layout");
    }
    r.bgra.create(static_cast<int>(height), static_cast<int>(width), CV_8UC4);
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            if (y % 16 == 0 && limit != nullptr && limit->Stopped() != nullptr) {
                return PngRead::Stopped;
            }
            png_read_row(png, r.bgra.ptr(static_cast<int>(y)), nullptr);
        }
    }
    return PngRead::Done;
}

// A PNG through libpng, row by row within the limit, its warnings kept to itself.
// Transparent pixels would need a backdrop made up for them: refused.
void DecodePng(const unsigned char* data, size_t size, const ImageInfo& declared,
               const WorkLimit* limit, DecodedImage& out) {
    // A chunk that claims to run past the file's end would have libpng allocate its length
    // (up to 2 GB) before it finds out.
    const int text = PngTextChunks(data, size);
    if (text < 0) {
        out.error = {ErrorCode::Invalid, "the photo's content cannot be decoded: a chunk runs "
                                         "past the end of the file"};
        return;
    }
    if (text > kMaxPngTextChunks) {
        out.error = {ErrorCode::Unsupported, "the photo carries more text chunks than are read"};
        return;
    }
    auto reading = std::make_unique<PngReading>();
    reading->data = data;
    reading->size = size;
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, reading.get(), PngFailed, PngWarned);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    const PngRead read =
        info != nullptr ? ReadPngRows(png, info, declared, limit, *reading) : PngRead::Failed;
    png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    switch (read) {
    case PngRead::Done:
        break;
    case PngRead::Stopped: {
        const char* why = limit->Stopped();
        out.error = {ErrorCode::Stopped, why != nullptr ? why : "the work was stopped"};
        return;
    }
    case PngRead::OtherSize:
        out.error = {ErrorCode::Invalid, "the photo's content does not match its declared size"};
        return;
    case PngRead::Failed:
        out.error = {ErrorCode::Invalid,
                     "the photo's content cannot be decoded: " + reading->message};
        return;
    }
    const cv::Mat& bgra = reading->bgra;
    cv::Mat alpha;
    cv::extractChannel(bgra, alpha, 3);
    double lowest = 255;
    cv::minMaxLoc(alpha, &lowest);
    if (lowest < 255) {
        out.error = {ErrorCode::Unsupported, "the photo has transparent parts"};
        out.transparent = true;
        return;
    }
    cv::cvtColor(bgra, out.image, cv::COLOR_BGRA2BGR);
}

// The bytes a WebP decoder is given at a time: the work limit is checked between pieces.
constexpr size_t kWebpPiece = 16 * 1024;

// A WebP through libwebp's incremental decoder, straight into BGR, fed in pieces within the
// limit; its size checked against the one charged before anything is allocated for it.
void DecodeWebp(const unsigned char* data, size_t size, const ImageInfo& declared,
                const WorkLimit* limit, DecodedImage& out) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config) ||
        WebPGetFeatures(data, size, &config.input) != VP8_STATUS_OK) {
        out.error = {ErrorCode::Invalid, "the photo's content cannot be decoded"};
        return;
    }
    if (config.input.width != declared.width || config.input.height != declared.height) {
        out.error = {ErrorCode::Invalid, "the photo's content does not match its declared size"};
        return;
    }
    cv::Mat image(declared.height, declared.width, CV_8UC3);
    config.output.colorspace = MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = image.data;
    config.output.u.RGBA.stride = static_cast<int>(image.step);
    config.output.u.RGBA.size = image.step * image.rows;
    WebPIDecoder* decoder = WebPIDecode(nullptr, 0, &config);
    if (decoder == nullptr) {
        out.error = {ErrorCode::Invalid, "the photo's content cannot be decoded"};
        return;
    }
    VP8StatusCode status = VP8_STATUS_SUSPENDED;
    const char* stopped = nullptr;
    for (size_t fed = 0; fed < size && status == VP8_STATUS_SUSPENDED;) {
        if (limit != nullptr && (stopped = limit->Stopped()) != nullptr) {
            break;
        }
        fed += std::min(kWebpPiece, size - fed);
        status = WebPIUpdate(decoder, data, fed); // the bytes stay where they are
    }
    WebPIDelete(decoder);
    WebPFreeDecBuffer(&config.output);
    if (stopped != nullptr) {
        out.error = {ErrorCode::Stopped, stopped};
    } else if (status != VP8_STATUS_OK) {
        out.error = {ErrorCode::Invalid, "the photo's content cannot be decoded"};
    } else {
        out.image = image;
    }
}

} // namespace

const char* FormatName(ImageFormat format) {
    switch (format) {
    case ImageFormat::Jpeg:
        return "jpeg";
    case ImageFormat::Png:
        return "png";
    case ImageFormat::Webp:
        return "webp";
    case ImageFormat::Bmp:
        return "bmp";
    case ImageFormat::Tiff:
        return "tiff";
    }
    return "?";
}

std::optional<ImageInfo> SniffImage(const unsigned char* d, size_t size) {
    if (Starts(d, size, "\xFF\xD8\xFF", 3)) {
        MemorySource source(d, size);
        const auto header = ReadJpegHeader(source);
        if (!header) {
            return std::nullopt;
        }
        return Sized(ImageFormat::Jpeg, header->UprightWidth(), header->UprightHeight());
    }
    if (Starts(d, size, "\x89PNG\r\n\x1a\n", 8)) {
        if (size < 24 || std::memcmp(d + 12, "IHDR", 4) != 0) {
            return std::nullopt;
        }
        return Sized(ImageFormat::Png, Be32(d + 16), Be32(d + 20));
    }
    if (Starts(d, size, "RIFF", 4) && size >= 12 && std::memcmp(d + 8, "WEBP", 4) == 0) {
        return Webp(d, size);
    }
    if (Starts(d, size, "BM", 2)) {
        if (size < 26) {
            return std::nullopt;
        }
        // An OS/2 1.x header (12 bytes) gives the size in 16 bits; every later one in 32.
        if (Le32(d + 14) == 12) {
            return Sized(ImageFormat::Bmp, Le16(d + 18), Le16(d + 20));
        }
        const auto height = static_cast<int32_t>(Le32(d + 22)); // negative: stored top down
        return Sized(ImageFormat::Bmp, static_cast<int32_t>(Le32(d + 18)),
                     height < 0 ? -int64_t{height} : int64_t{height});
    }
    if (size >= 8 && (Starts(d, size, "II*\0", 4) || Starts(d, size, "MM\0*", 4))) {
        return Tiff(d, size);
    }
    return std::nullopt;
}

DecodedImage DecodeImage(const unsigned char* data, size_t size, const ImageInfo& info, int denom,
                         const WorkLimit* limit) {
    DecodedImage out;
    if (info.DecodedPixels() > kMaxDecodedPixels) {
        out.error = {ErrorCode::Unsupported, "the photo declares more pixels than are decoded"};
        return out;
    }
    if (info.format == ImageFormat::Jpeg) {
        JpegDecode jpeg = DecodeJpeg(data, size, denom, nullptr, limit);
        out.image = jpeg.image;
        out.denom = denom;
        out.damaged = jpeg.damaged;
        if (jpeg.image.empty()) {
            out.error = {jpeg.error.Code() == ErrorCode::Stopped ? ErrorCode::Stopped
                                                                 : ErrorCode::Invalid,
                         "the photo's content cannot be decoded"};
        }
        return out;
    }
    if (size > static_cast<size_t>(INT32_MAX)) {
        out.error = {ErrorCode::Unsupported, "the file is too large to be a photo"};
        return out;
    }
    try {
        cv::Mat image;
        if (info.format == ImageFormat::Png) {
            DecodePng(data, size, info, limit, out);
            image = out.image;
        } else if (info.format == ImageFormat::Webp) {
            DecodeWebp(data, size, info, limit, out);
            image = out.image;
        } else {
            const cv::Mat bytes(1, static_cast<int>(size), CV_8U, const_cast<unsigned char*>(data));
            image = cv::imdecode(bytes, cv::IMREAD_COLOR);
        }
        if (image.empty()) {
            if (!out.error) {
                out.error = {ErrorCode::Invalid, "the photo's content cannot be decoded"};
            }
            return out;
        }
        const bool as_declared = (image.cols == info.width && image.rows == info.height) ||
                                 (image.cols == info.height && image.rows == info.width);
        if (!as_declared) { // turned upright, or else not what was declared and budgeted for
            out.error = {ErrorCode::Invalid,
                         "the photo's content does not match its declared size"};
            return out;
        }
        if (denom > 1) {
            cv::resize(image, image,
                       cv::Size((image.cols + denom - 1) / denom, (image.rows + denom - 1) / denom),
                       0, 0, cv::INTER_AREA);
        }
        out.image = image;
        out.denom = denom;
    } catch (const cv::Exception& e) {
        out.error = {ErrorCode::Invalid,
                     std::string("the photo's content cannot be decoded: ") + e.what()};
    }
    return out;
}

} // namespace vrel
