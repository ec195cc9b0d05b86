#include "check/jpeg_header.h"

#include <algorithm>
#include <array>
#include <vector>

namespace vrel {
namespace {

// Reads a source front to back through a small window, so that walking the segments costs a
// few reads whatever the source is.
class Cursor {
public:
    explicit Cursor(PhotoSource& source) : source_(source) {}
    // The next byte, or -1 at the end.
    int Byte() {
        if (at_ == end_) {
            window_start_ += end_;
            end_ = source_.ReadAt(window_start_, window_.data(), window_.size());
            at_ = 0;
            if (end_ == 0) {
                return -1;
            }
        }
        return window_[at_++];
    }
    std::optional<int> U16() {
        const int hi = Byte();
        const int lo = Byte();
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        return (hi << 8) | lo;
    }
    bool Skip(size_t n) {
        const size_t here = end_ - at_;
        if (n <= here) {
            at_ += n;
            return true;
        }
        window_start_ += end_ + (n - here);
        at_ = end_ = 0;
        return window_start_ <= source_.Size();
    }
    bool Read(unsigned char* out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const int b = Byte();
            if (b < 0) {
                return false;
            }
            out[i] = static_cast<unsigned char>(b);
        }
        return true;
    }

private:
    PhotoSource& source_;
    std::array<unsigned char, 4096> window_{};
    uint64_t window_start_ = 0;
    size_t at_ = 0, end_ = 0;
};

bool IsFrameHeader(int marker) {
    // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

} // namespace

int ExifOrientationOf(const unsigned char* app1, size_t app1_size) {
    static const unsigned char kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (app1_size < 14 || !std::equal(kExif, kExif + 6, app1)) {
        return 1;
    }
    const unsigned char* tiff = app1 + 6;
    const size_t size = app1_size - 6;
    bool little;
    if (tiff[0] == 'I' && tiff[1] == 'I') {
        little = true;
    } else if (tiff[0] == 'M' && tiff[1] == 'M') {
        little = false;
    } else {
        return 1;
    }
    auto u16 = [&](size_t at) -> uint32_t {
        return little ? tiff[at] | (tiff[at + 1] << 8) : (tiff[at] << 8) | tiff[at + 1];
    };
    auto u32 = [&](size_t at) -> uint32_t {
        return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    };
    const uint32_t ifd = u32(4);
    if (ifd > size || size - ifd < 2) {
        return 1;
    }
    const uint32_t count = u16(ifd);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = ifd + 2 + size_t{i} * 12;
        if (entry + 12 > size) {
            break;
        }
        if (u16(entry) == 0x0112) {
            const uint32_t value = u16(entry + 8);
            return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
        }
    }
    return 1;
}

std::optional<JpegHeader> ReadJpegHeader(PhotoSource& source) {
    Cursor in(source);
    if (in.Byte() != 0xFF || in.Byte() != 0xD8) {
        return std::nullopt;
    }
    JpegHeader header;
    bool exif_seen = false;
    for (;;) {
        // Skip anything up to the next marker, and fill bytes.
        int c = in.Byte();
        while (c >= 0 && c != 0xFF) {
            c = in.Byte();
        }
        while (c == 0xFF) {
            c = in.Byte();
        }
        if (c < 0) {
            return std::nullopt;
        }
        const int marker = c;
        if (marker == 0x00) {
            continue; // a stuffed zero, not a marker: the decoder skips it and reads on
        }
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            continue; // markers without a length
        }
        if (marker == 0xD9 || marker == 0xDA) {
            return std::nullopt; // end of image or scan data before any frame header
        }
        const auto length = in.U16();
        if (!length || *length < 2) {
            return std::nullopt;
        }
        const size_t payload = static_cast<size_t>(*length - 2);
        if (IsFrameHeader(marker)) {
            std::array<unsigned char, 5> b{};
            if (!in.Read(b.data(), b.size())) {
                return std::nullopt;
            }
            header.height = (b[1] << 8) | b[2];
            header.width = (b[3] << 8) | b[4];
            return header;
        }
        if (marker == 0xE1 && !exif_seen) {
            std::vector<unsigned char> data(payload);
            if (!in.Read(data.data(), data.size())) {
                return std::nullopt;
            }
            // The decoder takes its orientation from the first APP1 segment only, whatever
            // that segment holds.
            exif_seen = true;
            header.orientation = ExifOrientationOf(data.data(), data.size());
            continue;
        }
        if (!in.Skip(payload)) {
            return std::nullopt;
        }
    }
}

} // namespace vrel
