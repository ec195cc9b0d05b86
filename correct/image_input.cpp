#include "correct/image_input.h"

#include "check/jpeg_decode.h"
#include "check/jpeg_header.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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

// A TIFF in memory, opened by libtiff as a read-only mapped file: strips that need no
// decoding are read where they lie. What libtiff said when it failed is kept, never printed.
class TiffFile {
public:
    TiffFile(const unsigned char* data, size_t size) : data_(data), size_(size) {
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        if (options == nullptr) {
            return;
        }
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxSingleAllocation);
        TIFFOpenOptionsSetErrorHandlerExtR(options, Failed, this);
        TIFFOpenOptionsSetWarningHandlerExtR(options, Warned, this);
        tiff_ = TIFFClientOpenExt("photo", "r", this, Read, Write, Seek, Close, Size, Map, Unmap,
                                  options);
        TIFFOpenOptionsFree(options);
    }
    ~TiffFile() {
        if (tiff_ != nullptr) {
            TIFFClose(tiff_);
        }
    }
    TiffFile(const TiffFile&) = delete;
    TiffFile& operator=(const TiffFile&) = delete;

    TIFF* get() const { return tiff_; }
    const std::string& message() const { return message_; }

private:
    // One allocation libtiff may make: a strip of the largest photo decoded, in 8-bit RGBA.
    static constexpr tmsize_t kMaxSingleAllocation = kMaxDecodedPixels * 4;

    static TiffFile* Of(thandle_t handle) { return static_cast<TiffFile*>(handle); }
    static tmsize_t Read(thandle_t handle, void* out, tmsize_t n) {
        TiffFile* f = Of(handle);
        const size_t left = f->at_ < f->size_ ? f->size_ - f->at_ : 0;
        const size_t count = std::min(left, static_cast<size_t>(std::max<tmsize_t>(n, 0)));
        if (count > 0) {
            std::memcpy(out, f->data_ + f->at_, count);
        }
        f->at_ += count;
        return static_cast<tmsize_t>(count);
    }
    static tmsize_t Write(thandle_t, void*, tmsize_t) { return 0; }
    static toff_t Seek(thandle_t handle, toff_t offset, int whence) {
        TiffFile* f = Of(handle);
        const toff_t base = whence == SEEK_CUR ? f->at_ : whence == SEEK_END ? f->size_ : 0;
        if (offset > UINT64_MAX - base) {
            return static_cast<toff_t>(-1);
        }
        f->at_ = base + offset;
        return f->at_;
    }
    static int Close(thandle_t) { return 0; }
    static toff_t Size(thandle_t handle) { return Of(handle)->size_; }
    static int Map(thandle_t handle, void** base, toff_t* size) {
        *base = const_cast<unsigned char*>(Of(handle)->data_); // opened "r": only ever read
        *size = Of(handle)->size_;
        return 1;
    }
    static void Unmap(thandle_t, void*, toff_t) {}
    static int Failed(TIFF*, void* self, const char*, const char* format, va_list args) {
        std::string& message = static_cast<TiffFile*>(self)->message_;
        if (message.empty()) {
            char text[256];
            std::vsnprintf(text, sizeof text, format, args);
            message = text;
        }
        return 1;
    }
    static int Warned(TIFF*, void*, const char*, const char*, va_list) { return 1; }

    const unsigned char* data_;
    size_t size_;
    toff_t at_ = 0;
    TIFF* tiff_ = nullptr;
    std::string message_;
};

// How a TIFF is decoded. Eight-bit RGB or grey in strips, stored top row first (nearly every
// photo), is read scanline by scanline into the picture: libtiff decodes each strip once, in
// order, from the mapped file. Anything else goes through libtiff's RGBA reader in bands of
// whole strips, or of one row of tiles, so that each strip or tile is decoded once. The work
// limit is checked between scanlines or bands.
struct TiffLayout {
    uint32_t width = 0, height = 0;
    bool scanlines = false;
    int channels = 0;        // of a scanline read: 3 or 1, plus extra samples skipped
    int stride = 0;          // samples a scanline's pixel takes
    uint32_t band = 0;       // rows of a band read as RGBA
    int64_t extra_bytes = 0; // what is held besides the picture while it is decoded
};

// Rows a band of strips covers at least: a strip of one row each is not worth a call.
constexpr uint32_t kTiffBandRows = 64;

bool ReadAsScanlines(TIFF* tiff, TiffLayout& layout) {
    uint16_t bits = 0, samples = 0, planar = 0, photometric = 0, orientation = 0, compression = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) != 1 || TIFFIsTiled(tiff) ||
        bits != 8 || planar != PLANARCONFIG_CONTIG || orientation != ORIENTATION_TOPLEFT ||
        compression == COMPRESSION_OJPEG || compression == COMPRESSION_JPEG) {
        return false;
    }
    const int colour = photometric == PHOTOMETRIC_RGB          ? 3
                       : photometric == PHOTOMETRIC_MINISBLACK ? 1
                                                               : 0;
    if (colour == 0 || samples < colour || samples > 8 ||
        TIFFScanlineSize64(tiff) != uint64_t{layout.width} * samples) {
        return false;
    }
    layout.scanlines = true;
    layout.channels = colour;
    layout.stride = samples;
    layout.extra_bytes = static_cast<int64_t>(TIFFScanlineSize64(tiff));
    return true;
}

std::optional<TiffLayout> LayoutOf(TIFF* tiff) {
    TiffLayout layout;
    if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.width) != 1 ||
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.height) != 1 || layout.width == 0 ||
        layout.height == 0 || layout.width > INT32_MAX || layout.height > INT32_MAX) {
        return std::nullopt;
    }
    if (ReadAsScanlines(tiff, layout)) {
        return layout;
    }
    uint64_t piece = 0; // bytes of one strip or tile, decoded
    if (TIFFIsTiled(tiff)) {
        uint32_t tile_width = 0, tile_height = 0;
        if (TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tile_width) != 1 ||
            TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tile_height) != 1 || tile_width == 0 ||
            tile_height == 0) {
            return std::nullopt;
        }
        layout.band = std::min(tile_height, layout.height);
        piece = TIFFTileSize64(tiff);
    } else {
        uint32_t rows = 0;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows);
        rows = std::max<uint32_t>(1, std::min(rows, layout.height));
        layout.band = std::min(layout.height, (kTiffBandRows + rows - 1) / rows * rows);
        piece = TIFFStripSize64(tiff);
    }
    if (piece == 0) {
        return std::nullopt;
    }
    // The band's RGBA and one strip or tile.
    layout.extra_bytes = int64_t{layout.band} * layout.width * 4 +
                         static_cast<int64_t>(std::min<uint64_t>(piece, uint64_t{INT64_MAX} / 4));
    return layout;
}

// A TIFF's size as libtiff reads it; what it holds besides the picture is counted in pixels of
// the picture (3 bytes each), rounded up.
std::optional<ImageInfo> Tiff(const unsigned char* d, size_t size) {
    const TiffFile file(d, size);
    const auto layout = file.get() != nullptr ? LayoutOf(file.get()) : std::nullopt;
    if (!layout) {
        return std::nullopt;
    }
    std::optional<ImageInfo> info = Sized(ImageFormat::Tiff, layout->width, layout->height);
    if (info) {
        info->extra_pixels = (layout->extra_bytes + 2) / 3;
    }
    return info;
}

// A TIFF through libtiff, by scanlines or by bands of RGBA within the limit, top row first
// whatever the file's orientation; its size checked against the one charged before anything is
// allocated for it.
void DecodeTiff(const unsigned char* data, size_t size, const ImageInfo& declared,
                const WorkLimit* limit, DecodedImage& out) {
    const TiffFile file(data, size);
    const auto layout = file.get() != nullptr ? LayoutOf(file.get()) : std::nullopt;
    if (!layout) {
        out.error = {ErrorCode::Invalid,
                     "the photo's content cannot be decoded: " + file.message()};
        return;
    }
    if (layout->width != static_cast<uint32_t>(declared.width) ||
        layout->height != static_cast<uint32_t>(declared.height)) {
        out.error = {ErrorCode::Invalid, "the photo's content does not match its declared size"};
        return;
    }
    const int width = declared.width, height = declared.height;
    cv::Mat image(height, width, CV_8UC3);
    if (layout->scanlines) {
        std::vector<unsigned char> line(static_cast<size_t>(width) * layout->stride);
        for (int row = 0; row < height; ++row) {
            if (row % 16 == 0 && limit != nullptr && limit->Stopped() != nullptr) {
                out.error = {ErrorCode::Stopped, limit->Stopped()};
                return;
            }
            if (TIFFReadScanline(file.get(), line.data(), static_cast<uint32_t>(row), 0) != 1) {
                out.error = {ErrorCode::Invalid,
                             "the photo's content cannot be decoded: " + file.message()};
                return;
            }
            unsigned char* to = image.ptr(row);
            const unsigned char* from = line.data();
            for (int x = 0; x < width; ++x, to += 3, from += layout->stride) {
                to[0] = from[layout->channels == 3 ? 2 : 0];
                to[1] = from[layout->channels == 3 ? 1 : 0];
                to[2] = from[0];
            }
        }
        out.image = image;
        return;
    }
    char why[1024] = "";
    TIFFRGBAImage reader;
    if (!TIFFRGBAImageOK(file.get(), why) ||
        !TIFFRGBAImageBegin(&reader, file.get(), /*stoponerr=*/1, why)) {
        out.error = {ErrorCode::Unsupported,
                     std::string("the photo's TIFF layout is not read: ") + why};
        return;
    }
    reader.req_orientation = ORIENTATION_TOPLEFT;
    cv::Mat rgba(static_cast<int>(layout->band), width, CV_8UC4);
    for (int row = 0; row < height;) {
        if (limit != nullptr && limit->Stopped() != nullptr) {
            out.error = {ErrorCode::Stopped, limit->Stopped()};
            break;
        }
        const int rows = std::min(static_cast<int>(layout->band), height - row);
        reader.row_offset = row;
        reader.col_offset = 0;
        if (!TIFFRGBAImageGet(&reader, reinterpret_cast<uint32_t*>(rgba.data),
                              static_cast<uint32_t>(width), static_cast<uint32_t>(rows))) {
            out.error = {ErrorCode::Invalid,
                         "the photo's content cannot be decoded: " + file.message()};
            break;
        }
        // Each pixel is red, green, blue and alpha in that order in memory.
        cv::cvtColor(rgba.rowRange(0, rows), image.rowRange(row, row + rows), cv::COLOR_RGBA2BGR);
        row += rows;
    }
    TIFFRGBAImageEnd(&reader);
    if (!out.error) {
        out.image = image;
    }
}

// Text chunks a PNG may carry: a photo's metadata needs a few. libpng inflates every
// compressed one (up to 8 MB each) before the first row, in one call that nothing interrupts:
// a file of a thousand held a worker for most of a minute.
constexpr int kMaxPngTextChunks = 32;

// The text chunks before the image data, walked by their lengths as libpng walks them; -1 where
// the chunks do not lie within the file (libpng allocates a chunk's length once it has read the
// chunk's first 8 bytes, even where the file ends right after them).
int PngTextChunks(const unsigned char* d, size_t size) {
    int text = 0;
    for (size_t at = 8; at + 8 <= size;) {
        const uint32_t length = Be32(d + at);
        const unsigned char* type = d + at + 4;
        if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) {
            return text;
        }
        if (std::memcmp(type, "tEXt", 4) == 0 || std::memcmp(type, "zTXt", 4) == 0 ||
            std::memcmp(type, "iTXt", 4) == 0) {
            ++text;
        }
        if (size - at < 12 || length > size - at - 12) {
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
        } else if (info.format == ImageFormat::Tiff) {
            DecodeTiff(data, size, info, limit, out);
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
