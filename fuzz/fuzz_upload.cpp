// Uploads as the service meets them: a Content-Type line, then a body, through the multipart
// reader and the query decoder; and arbitrary bytes as a picture of any format, through the
// format sniffer and, where small, the correction's decoder, which must decode the size read.
#include "correct/image_input.h"
#include "serve/multipart.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t eol = input.find('\n');
    const std::string_view type = input.substr(0, eol);
    const std::string_view body = eol == std::string_view::npos ? "" : input.substr(eol + 1);
    if (const auto boundary = vrel::serve::MultipartBoundary(type)) {
        if (const auto field = vrel::serve::FindFormField(body, *boundary, "photo")) {
            // The field lies inside the body.
            if (field->content.data() < body.data() ||
                field->content.data() + field->content.size() > body.data() + body.size()) {
                __builtin_trap();
            }
        }
    }
    (void)vrel::serve::PercentDecode(type);

    // The size read is the size decoded: a picture comes out as large as it was read (upright,
    // and reduced by denom), and the decoder allocates for no other (the harness runs with a
    // limit on single allocations far below what a larger size would take).
    if (const auto info = vrel::SniffImage(data, size)) {
        if (info->DecodedPixels() <= 1'000'000) {
            const int denom = 1 + static_cast<int>(size % 2);
            const vrel::DecodedImage decoded = vrel::DecodeImage(data, size, *info, denom);
            if (!decoded.image.empty()) {
                const int w = (info->width + denom - 1) / denom;
                const int h = (info->height + denom - 1) / denom;
                const int cols = decoded.image.cols, rows = decoded.image.rows;
                if (!((cols == w && rows == h) || (cols == h && rows == w))) {
                    __builtin_trap();
                }
            }
        }
    }
    return 0;
}
