#include "serve/request_gate.h"

#include "serve/multipart.h"

#include "report/correction_text.h"

#include <boost/beast/core/string.hpp>

namespace vrel::serve {
namespace http = boost::beast::http;

namespace {

std::string_view View(boost::beast::string_view s) {
    return {s.data(), s.size()};
}

bool SameText(std::string_view a, std::string_view b) {
    return boost::beast::iequals(boost::beast::string_view(a.data(), a.size()),
                                 boost::beast::string_view(b.data(), b.size()));
}

// Transfer-Encoding: every field (wherever it stands among the others) and every coding in it;
// only "chunked", once, is taken.
bool OnlyChunked(const http::request_header<>& head) {
    size_t codings = 0;
    for (const auto& field : head) {
        if (field.name() != http::field::transfer_encoding) {
            continue;
        }
        std::string_view list = View(field.value());
        while (!list.empty()) {
            const size_t comma = list.find(',');
            const std::string_view coding = TrimSpaces(list.substr(0, comma));
            list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
            if (coding.empty()) {
                continue;
            }
            if (!SameText(coding, "chunked") || ++codings > 1) {
                return false;
            }
        }
    }
    return codings == 1;
}

// The value of key in a query string as it stands; nullopt when the key is missing.
std::optional<std::string_view> RawQueryValue(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        const std::string_view pair = query.substr(0, query.find('&'));
        query.remove_prefix(std::min(query.size(), pair.size() + 1));
        const size_t eq = pair.find('=');
        if (pair.substr(0, eq) == key) {
            return eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        }
    }
    return std::nullopt;
}

} // namespace

void ExtensionTally::operator()(std::uint64_t, boost::beast::string_view extensions,
                                boost::beast::error_code& ec) {
    extension_bytes += extensions.size();
    if (header_bytes + extension_bytes > max_header_bytes) {
        ec = http::error::header_limit;
    }
}

void LimitParser(RequestParser& parser, const ServiceLimits& limits, ExtensionTally& tally) {
    parser.header_limit(static_cast<std::uint32_t>(limits.max_header_bytes));
    parser.body_limit(limits.max_upload_bytes);
    tally = ExtensionTally{limits.max_header_bytes, 0, 0};
    parser.on_chunk_header(tally);
}

std::optional<Refusal> CheckRequestHead(const RequestParser& parser) {
    const http::request_header<>& head = parser.get().base();
    if (head.count(http::field::transfer_encoding) > 0 && !OnlyChunked(head)) {
        return Refusal{400, "请求格式错误：只接受 chunked 传输编码"};
    }
    const size_t hosts = head.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && head.version() >= 11)) {
        return Refusal{400, "请求格式错误：须有且只有一个 Host 请求头"};
    }
    const size_t expects = head.count(http::field::expect);
    if (expects > 1 ||
        (expects == 1 && !SameText(TrimSpaces(View(head[http::field::expect])), "100-continue"))) {
        return Refusal{417, "不支持的 Expect 请求头"};
    }
    return std::nullopt;
}

std::optional<Refusal> CheckTrailers(const RequestParser& parser, size_t extension_bytes,
                                     const ServiceLimits& limits) {
    size_t bytes = extension_bytes;
    for (const auto& field : parser.get()) {
        bytes += field.name_string().size() + field.value().size() + 4; // ": " and CRLF
    }
    if (bytes > limits.max_header_bytes) {
        return Refusal{431, "请求头太大"};
    }
    return std::nullopt;
}

std::variant<Upload, Refusal> FindUpload(std::string_view content_type, std::string_view body,
                                         std::string_view query) {
    Upload upload;
    const std::string_view media = TrimSpaces(content_type.substr(0, content_type.find(';')));
    if (media.size() >= 10 && SameText(media.substr(0, 10), "multipart/")) {
        const auto boundary = MultipartBoundary(content_type);
        if (!boundary) {
            return Refusal{400, "表单格式错误：须为 multipart/form-data，并带有 1 到 70 个字符的 "
                                "boundary"};
        }
        const Result<FormField> field = FindFormField(body, *boundary, "photo");
        if (!field) {
            return Refusal{400, field.Err().Detail()};
        }
        upload.bytes = field->content;
        upload.filename = field->filename;
    } else {
        upload.bytes = body;
        upload.filename = QueryValue(query, "filename");
    }
    if (upload.bytes.empty()) {
        return Refusal{400, "照片文件是空的（0 字节）：请重新选择照片文件"};
    }
    return upload;
}

std::optional<std::string> QueryParameter(std::string_view query, std::string_view key) {
    const auto value = RawQueryValue(query, key);
    if (!value) {
        return std::nullopt;
    }
    return PercentDecode(*value).value_or(std::string(*value));
}

std::string QueryValue(std::string_view query, std::string_view key) {
    // A broken escape names nothing.
    return PercentDecode(RawQueryValue(query, key).value_or("")).value_or(std::string());
}

std::variant<std::optional<BackdropColour>, Refusal>
RequestedBackdrop(std::string_view query, const CheckSettings& settings) {
    const auto text = QueryParameter(query, "backdrop");
    if (!text) {
        return std::optional<BackdropColour>();
    }
    if (text->size() <= 32) { // longer is no colour
        Result<BackdropColour> colour = ChooseBackdrop(*text, settings);
        if (colour) {
            return std::optional<BackdropColour>(*colour);
        }
    }
    std::string choices;
    for (const BackdropColour& accepted : AcceptedBackdrops(settings)) {
        choices +=
            (choices.empty() ? "" : "、") + accepted.name + "（" + BackdropLabel(accepted) + "）";
    }
    // What was asked for is not repeated back: the applicant chose from the page's list.
    return Refusal{400, "本次报名的照片要求不接受这个背景颜色" +
                            (choices.empty() ? std::string() : "：可选 " + choices)};
}

} // namespace vrel::serve
