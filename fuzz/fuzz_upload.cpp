// Uploads as the service meets them: a Content-Type line, then a body, through the multipart
// reader and the query decoder; and arbitrary bytes as a picture of any format, through the
// format sniffer and, where small, the correction's decoder.
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

    if (const auto info = vrel::SniffImage(data, size)) {
        if (int64_t{info->width} * info->height <= 1'000'000) {
            (void)vrel::DecodeImage(data, size, *info, 1 + static_cast<int>(size % 2));
        }
    }
    return 0;
}
