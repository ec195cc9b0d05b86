#include "check/file_kind.h"

#include <cstring>
#include <initializer_list>

namespace vrel {
namespace {

bool At(const unsigned char* head, size_t n, size_t offset, const char* magic) {
    const size_t length = std::strlen(magic);
    return n >= offset + length && std::memcmp(head + offset, magic, length) == 0;
}

} // namespace

FileKind KindOfFile(const unsigned char* head, size_t n, uint64_t size) {
    if (size == 0) {
        return FileKind::Empty;
    }
    if (n >= 2 && head[0] == 0xFF && head[1] == 0xD8) {
        return FileKind::Jpeg;
    }
    if (At(head, n, 0, "\x89PNG")) {
        return FileKind::Png;
    }
    if (At(head, n, 0, "RIFF") && At(head, n, 8, "WEBP")) {
        return FileKind::Webp;
    }
    if (At(head, n, 0, "GIF8")) {
        return FileKind::Gif;
    }
    if (At(head, n, 0, "BM")) {
        return FileKind::Bmp;
    }
    if (At(head, n, 0, "II*") || At(head, n, 0, "MM")) {
        if (n >= 4 && ((head[0] == 'I' && head[3] == 0) || (head[0] == 'M' && head[2] == 0))) {
            return FileKind::Tiff;
        }
    }
    // An ISO media file whose brand is one of HEIF's (iPhones' photos, and AVIF alike).
    if (At(head, n, 4, "ftyp")) {
        for (const char* brand :
             {"heic", "heix", "hevc", "heim", "heis", "hevx", "mif1", "msf1", "avif", "avis"}) {
            if (At(head, n, 8, brand)) {
                return FileKind::Heif;
            }
        }
    }
    if (At(head, n, 0, "%PDF")) {
        return FileKind::Pdf;
    }
    return FileKind::Unknown;
}

const char* FileKindName(FileKind kind) {
    switch (kind) {
    case FileKind::Empty:
        return "empty";
    case FileKind::Jpeg:
        return "jpeg";
    case FileKind::Png:
        return "png";
    case FileKind::Webp:
        return "webp";
    case FileKind::Gif:
        return "gif";
    case FileKind::Bmp:
        return "bmp";
    case FileKind::Tiff:
        return "tiff";
    case FileKind::Heif:
        return "heif";
    case FileKind::Pdf:
        return "pdf";
    case FileKind::Unknown:
        break;
    }
    return "unknown";
}

} // namespace vrel
