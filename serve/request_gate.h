#pragma once

#include "serve/handlers.h"
#include "serve/limits.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffer_traits.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cstdint>

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

// A request body kept in a string that grows with the bytes that come, never past the length
// the head declared: unlike Beast's string body, a declared length reserves nothing, so the
// memory a connection holds follows what its client has really sent (at most twice it).
struct ArrivingBody {
    using value_type = std::string;
    static std::uint64_t size(const value_type& body) { return body.size(); }

    class reader {
    public:
        template <bool isRequest, class Fields>
        reader(boost::beast::http::header<isRequest, Fields>&, value_type& body) : body_(body) {}
        void init(const boost::optional<std::uint64_t>& length, boost::beast::error_code& ec) {
            declared_ = length ? *length : 0;
            ec = {};
        }
        template <class Buffers> size_t put(const Buffers& buffers, boost::beast::error_code& ec) {
            const size_t extra = boost::beast::buffer_bytes(buffers);
            const size_t size = body_.size();
            if (size + extra > body_.capacity()) {
                size_t room = std::max(size + extra, 2 * body_.capacity());
                if (declared_ >= size + extra) {
                    room = std::min<size_t>(room, declared_);
                }
                body_.reserve(room);
            }
            body_.resize(size + extra);
            boost::asio::buffer_copy(boost::asio::buffer(&body_[size], extra), buffers);
            ec = {};
            return extra;
        }
        void finish(boost::beast::error_code& ec) { ec = {}; }

    private:
        value_type& body_;
        std::uint64_t declared_ = 0;
    };
};

using RequestParser = boost::beast::http::request_parser<ArrivingBody>;
using Request = boost::beast::http::request<ArrivingBody>;

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
