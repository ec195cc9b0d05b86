// Raw HTTP requests as a connection meets them: the bytes arrive in pieces of varying size
// through a read buffer of the connection's bounded size into the parser with the service's
// limits; then the checks of the head, the answer its head gets (the profile and colour it
// asks for among them), the trailers and the search for the photo. Nothing may throw, and what
// is found lies inside what was sent.
#include "serve/request_gate.h"
#include "serve/respond.h"

#include <boost/asio/buffer.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    namespace http = boost::beast::http;
    using namespace vrel::serve;
    ServiceLimits limits;
    limits.max_header_bytes = 1024 + (data[0] % 8) * 1024; // small, so that limits are met
    limits.max_upload_bytes = 64 * 1024;
    const size_t piece = 1 + data[1] % 97;
    const size_t buffer_limit = limits.max_header_bytes + 16 * 1024;
    data += 2;
    size -= 2;

    RequestParser parser;
    ExtensionTally tally;
    LimitParser(parser, limits, tally);
    std::string pending;
    size_t consumed = 0;
    bool head_checked = false;
    for (size_t at = 0; at < size && !parser.is_done();) {
        const size_t n = std::min(piece, size - at);
        pending.append(reinterpret_cast<const char*>(data + at), n);
        at += n;
        if (pending.size() > buffer_limit) {
            return 0; // the connection's buffer is full: refused as too large
        }
        boost::beast::error_code ec;
        const size_t used = parser.put(boost::asio::buffer(pending), ec);
        pending.erase(0, used);
        consumed += used;
        if (ec == http::error::need_more) {
            continue;
        }
        if (ec) {
            return 0; // refused as malformed or too large
        }
        if (parser.is_header_done() && !head_checked) {
            head_checked = true;
            tally.header_bytes = consumed;
            if (CheckRequestHead(parser)) {
                return 0;
            }
            // A service with a profile besides its default one, allowing blue.
            static const PoolOptions pool = [] {
                PoolOptions p;
                p.profiles.emplace_back();
                p.profiles.back().name = "blue";
                p.profiles.back().kit.settings.bgc = 1;
                return p;
            }();
            ServiceView view;
            view.pool = &pool;
            const auto& head = parser.get();
            const std::string head_target(head.target());
            const size_t question = head_target.find('?');
            const std::string path = head_target.substr(0, question);
            const std::string query =
                question == std::string::npos ? "" : head_target.substr(question + 1);
            const std::string method(head.method_string());
            const Response response = Respond({method, path, query, ""}, view);
            if (response.profile && *response.profile >= ProfileCount(pool)) {
                __builtin_trap();
            }
        }
    }
    if (!parser.is_done() || CheckTrailers(parser, tally.extension_bytes, limits)) {
        return 0;
    }
    const auto& request = parser.get();
    const auto type = request[http::field::content_type];
    const std::string target(request.target());
    const std::string_view query = target.find('?') == std::string::npos
                                       ? ""
                                       : std::string_view(target).substr(target.find('?') + 1);
    const std::string& body = request.body();
    const auto found = FindUpload(std::string_view(type.data(), type.size()), body, query);
    if (const auto* upload = std::get_if<Upload>(&found)) {
        if (upload->bytes.empty() || upload->bytes.data() < body.data() ||
            upload->bytes.data() + upload->bytes.size() > body.data() + body.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
