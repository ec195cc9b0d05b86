#pragma once

#include "serve/handlers.h"
#include "serve/limits.h"

#include <boost/beast/http.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vrel::serve {

// Why a request is answered without being served: its status and a sentence for the client.
struct Refusal {
    int status = 400;
    std::string message;
};

using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

// Counts the chunk extensions of a body against the header limit, together with the header
// itself (header_bytes, known once it is read). The parser calls it for every chunk and keeps
// a reference to it: it must outlive the parser.
struct ExtensionTally {
    size_t max_header_bytes = 0;
    size_t header_bytes = 0;
    size_t extension_bytes = 0;
    void operator()(std::uint64_t size, boost::beast::string_view extensions,
                    boost::beast::error_code& ec);
};

// Sets the parser's limits: the header bytes, the body, and the chunk extensions (tally starts
// anew).
void LimitParser(RequestParser& parser, const ServiceLimits& limits, ExtensionTally& tally);

// What the parser lets through but the service does not take, from the request's head: a
// transfer coding other than chunked alone (the body would be read as the next request), a
// missing or doubled Host, an expectation other than 100-continue.
std::optional<Refusal> CheckRequestHead(const RequestParser& parser);

// After a chunked body: its trailer fields join the headers, and all of them, with the chunk
// extensions, must stay within the header limit.
std::optional<Refusal> CheckTrailers(const RequestParser& parser, size_t extension_bytes,
                                     const ServiceLimits& limits);

// The photo in a request body: the "photo" field of a multipart/form-data body, or else the
// body itself, named by the query's filename. A multipart body without a usable boundary, or a
// body without a photo, is refused.
std::variant<Upload, Refusal> FindUpload(std::string_view content_type, std::string_view body,
                                         std::string_view query);

// The value of key in a query string ("a=1&b=2"), percent-decoded; empty when it is missing.
std::string QueryValue(std::string_view query, std::string_view key);
// The same, but nullopt when the key is missing; a value with a broken escape comes as it is.
std::optional<std::string> QueryParameter(std::string_view query, std::string_view key);

// The backdrop a correction asks for with ?backdrop=white|blue|%23RRGGBB: none where the query
// names none (the service's own colour), a Refusal (400) for a colour that is unknown or that
// the settings would refuse.
std::variant<std::optional<BackdropColour>, Refusal>
RequestedBackdrop(std::string_view query, const CheckSettings& settings);

} // namespace vrel::serve
