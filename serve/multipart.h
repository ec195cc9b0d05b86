#pragma once

#include "base/error.h"

#include <optional>
#include <string>
#include <string_view>

namespace vrel::serve {

// One field of a multipart/form-data body: its bytes are a view into the body.
struct FormField {
    std::string name;
    std::string filename; // empty when the part carries none
    std::string_view content;
};

// The boundary from a Content-Type value "multipart/form-data; boundary=..."; std::nullopt when
// the type is not multipart/form-data or the boundary is missing or malformed.
std::optional<std::string> MultipartBoundary(std::string_view content_type);

// Finds the field of that name in a multipart/form-data body. An Invalid error when the body is
// malformed (no opening boundary, a part without its header end or its closing boundary), a
// NotFound one when it has no such field; the detail is worded for the client's answer.
Result<FormField> FindFormField(std::string_view body, std::string_view boundary,
                                std::string_view name);

// The text without the spaces and tabs around it, as header values are read.
std::string_view TrimSpaces(std::string_view text);

// Decodes %XX escapes (and, in a query, '+' as a space); nullopt for a broken escape.
std::optional<std::string> PercentDecode(std::string_view text, bool plus_is_space = true);

} // namespace vrel::serve
