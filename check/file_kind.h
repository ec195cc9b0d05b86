#pragma once

#include <cstddef>
#include <cstdint>

namespace vrel {

// What a file that is not a JPEG is, told by its first bytes: so that an applicant hears
// "this is an iPhone's HEIC" rather than "the file does not start with FF D8".
enum class FileKind { Empty, Jpeg, Png, Webp, Gif, Bmp, Tiff, Heif, Pdf, Unknown };

// head: the file's first bytes (up to 16 are looked at), n of them read; size: the file's.
FileKind KindOfFile(const unsigned char* head, size_t n, uint64_t size);

// "empty", "jpeg", "png", "webp", "gif", "bmp", "tiff", "heif", "pdf", "unknown".
const char* FileKindName(FileKind kind);

} // namespace vrel
