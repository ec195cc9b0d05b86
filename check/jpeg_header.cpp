#include "check/jpeg_header.h"

#include <algorithm>
#include <array>
#include <vector>

namespace vrel {
namespace {

int ReadByte(std::FILE* f) {
    return std::fgetc(f);
}

std::optional<int> ReadU16(std::FILE* f) {
    const int hi = ReadByte(f);
    const int lo = ReadByte(f);
    if (hi == EOF || lo == EOF) {
        return std::nullopt;
    }
    return (hi << 8) | lo;
}

// Orientation tag (0x0112) of IFD0 in an APP1 "Exif" payload; 1 when absent or unreadable.
int ExifOrientation(const std::vector<uint8_t>& app1) {
    static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (app1.size() < 14 || !std::equal(kExif, kExif + 6, app1.begin())) {
        return 1;
    }
    const uint8_t* tiff = app1.data() + 6;
    const size_t size = app1.size() - 6;
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

bool IsFrameHeader(int marker) {
    // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

} // namespace

std::optional<JpegHeader> ReadJpegHeader(std::FILE* f) {
    if (std::fseek(f, 0, SEEK_SET) != 0 || ReadByte(f) != 0xFF || ReadByte(f) != 0xD8) {
        return std::nullopt;
    }
    JpegHeader header;
    bool exif_seen = false;
    for (;;) {
        // Skip anything up to the next marker, and fill bytes.
        int c = ReadByte(f);
        while (c != EOF && c != 0xFF) {
            c = ReadByte(f);
        }
        while (c == 0xFF) {
            c = ReadByte(f);
        }
        if (c == EOF) {
            return std::nullopt;
        }
        const int marker = c;
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            continue; // markers without a length
        }
        if (marker == 0xD9 || marker == 0xDA) {
            return std::nullopt; // end of image or scan data before any frame header
        }
        const auto length = ReadU16(f);
        if (!length || *length < 2) {
            return std::nullopt;
        }
        const long payload = *length - 2;
        if (IsFrameHeader(marker)) {
            std::array<int, 5> b{};
            for (int& v : b) {
                v = ReadByte(f);
                if (v == EOF) {
                    return std::nullopt;
                }
            }
            header.height = (b[1] << 8) | b[2];
            header.width = (b[3] << 8) | b[4];
            return header;
        }
        if (marker == 0xE1 && !exif_seen) {
            std::vector<uint8_t> data(static_cast<size_t>(payload));
            if (std::fread(data.data(), 1, data.size(), f) != data.size()) {
                return std::nullopt;
            }
            // The decoder takes its orientation from the first APP1 segment only, whatever
            // that segment holds.
            exif_seen = true;
            header.orientation = ExifOrientation(data);
            continue;
        }
        if (std::fseek(f, payload, SEEK_CUR) != 0) {
            return std::nullopt;
        }
    }
}

} // namespace vrel
