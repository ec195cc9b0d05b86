#include "serve/multipart.h"

#include <algorithm>
#include <cctype>

namespace vrel::serve {
namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The value of a parameter (name=value or name="value") in a header value such as
// `form-data; name="photo"; filename="a.jpg"`; matched without regard to case.
std::optional<std::string> Parameter(std::string_view header, std::string_view wanted) {
    size_t at = header.find(';');
    while (at != std::string_view::npos) {
        std::string_view rest = header.substr(at + 1);
        const size_t eq = rest.find('=');
        if (eq == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string key = Lower(TrimSpaces(rest.substr(0, eq)));
        rest = rest.substr(eq + 1);
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) {
            rest.remove_prefix(1);
        }
        std::string value;
        size_t used = 0;
        if (!rest.empty() && rest.front() == '"') {
            size_t i = 1;
            for (; i < rest.size() && rest[i] != '"'; ++i) {
                if (rest[i] == '\\' && i + 1 < rest.size()) {
                    ++i;
                }
                value += rest[i];
            }
            if (i >= rest.size()) {
                return std::nullopt; // unterminated quote
            }
            used = i + 1;
        } else {
            used = std::min(rest.find(';'), rest.size());
            value = std::string(TrimSpaces(rest.substr(0, used)));
        }
        if (key == wanted) {
            return value;
        }
        const size_t next = rest.find(';', used);
        at = next == std::string_view::npos ? next : (header.size() - rest.size()) + next;
    }
    return std::nullopt;
}

// The field name and file name of a part, from its Content-Disposition header.
std::pair<std::optional<std::string>, std::optional<std::string>>
PartNames(std::string_view headers) {
    std::optional<std::string> field_name, filename;
    while (!headers.empty()) {
        const size_t eol = std::min(headers.find("\r\n"), headers.size());
        const std::string_view line = headers.substr(0, eol);
        headers.remove_prefix(std::min(eol + 2, headers.size()));
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos ||
            Lower(TrimSpaces(line.substr(0, colon))) != "content-disposition") {
            continue;
        }
        const std::string_view value = line.substr(colon + 1);
        field_name = Parameter(value, "name");
        if (auto encoded = Parameter(value, "filename*")) {
            // RFC 5987: charset'language'percent-encoded
            const size_t quote = encoded->find('\'', encoded->find('\'') + 1);
            if (quote != std::string::npos) {
                filename = PercentDecode(std::string_view(*encoded).substr(quote + 1), false);
            }
        }
        if (!filename) {
            filename = Parameter(value, "filename");
        }
    }
    return {field_name, filename};
}

} // namespace

std::optional<std::string> MultipartBoundary(std::string_view content_type) {
    const size_t semi = content_type.find(';');
    if (Lower(TrimSpaces(content_type.substr(0, semi))) != "multipart/form-data") {
        return std::nullopt;
    }
    auto boundary = Parameter(content_type, "boundary");
    // 1 to 70 characters, as the format allows.
    if (!boundary || boundary->empty() || boundary->size() > 70) {
        return std::nullopt;
    }
    return boundary;
}

std::string_view TrimSpaces(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<std::string> PercentDecode(std::string_view text, bool plus_is_space) {
    std::string out;
    out.reserve(text.size());
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0) {
                return std::nullopt;
            }
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i] == '+' && plus_is_space ? ' ' : text[i];
        }
    }
    return out;
}

Result<FormField> FindFormField(std::string_view body, std::string_view boundary,
                                std::string_view name) {
    const std::string delimiter = "--" + std::string(boundary);
    // The first delimiter opens the body (a preamble before it is allowed).
    size_t at = body.find(delimiter);
    if (at == std::string_view::npos) {
        return Error(ErrorCode::Invalid, "表单格式错误：没有开头的分隔行");
    }
    const std::string next_delimiter = "\r\n" + delimiter;
    for (;;) {
        at += delimiter.size();
        if (body.substr(at, 2) == "--") { // the closing delimiter
            return Error(ErrorCode::NotFound, "表单中没有名为 " + std::string(name) + " 的字段");
        }
        // The rest of the delimiter line (transport padding), then the part's headers.
        const size_t line_end = body.find("\r\n", at);
        if (line_end == std::string_view::npos) {
            return Error(ErrorCode::Invalid, "表单格式错误：在分隔行中结束");
        }
        // The headers end in an empty line (right away, for a part without headers).
        const size_t headers_end = body.find("\r\n\r\n", line_end);
        if (headers_end == std::string_view::npos) {
            return Error(ErrorCode::Invalid, "表单格式错误：某一部分的头部没有结束");
        }
        const size_t content_begin = headers_end + 4;
        const size_t content_end = body.find(next_delimiter, content_begin);
        if (content_end == std::string_view::npos) {
            return Error(ErrorCode::Invalid, "表单格式错误：某一部分没有结束的分隔行");
        }
        const auto [field_name, filename] = PartNames(
            headers_end == line_end ? std::string_view()
                                    : body.substr(line_end + 2, headers_end - (line_end + 2)));
        if (field_name && *field_name == name) {
            return FormField{*field_name, filename.value_or(std::string()),
                             body.substr(content_begin, content_end - content_begin)};
        }
        at = content_end + 2; // at the next delimiter
    }
}

} // namespace vrel::serve
