#include "serve/http_server.h"

#include "serve/assets.h"
#include "serve/handlers.h"
#include "serve/multipart.h"
#include "serve/routes.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <chrono>
#include <optional>
#include <set>

namespace vrel::serve {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

class Session;

struct HttpService::State {
    explicit State(ServiceOptions o)
        : options(std::move(o)), acceptor(io), signals(io), pool(options.pool) {
        ServiceLimits& l = options.limits;
        if (l.body_memory_budget == 0) {
            l.body_memory_budget =
                (static_cast<size_t>(std::max(1, options.pool.jobs)) + l.queue + 4) *
                l.max_upload_bytes;
        }
    }

    ServiceOptions options;
    net::io_context io;
    tcp::acceptor acceptor;
    net::signal_set signals;
    ReviewPool pool;
    Metrics metrics;
    bool stopping = false;
    size_t connections = 0;
    size_t in_flight = 0;  // requests from their headers to their answer
    size_t body_bytes = 0; // memory held for request bodies
    std::set<std::weak_ptr<Session>, std::owner_less<std::weak_ptr<Session>>> sessions;

    void Accept();
    void BeginStop();
};

namespace {

bool Reserve(HttpService::State& s, size_t bytes) {
    if (s.body_bytes + bytes > s.options.limits.body_memory_budget) {
        return false;
    }
    s.body_bytes += bytes;
    return true;
}

std::string RouteLabel(const Route* route) {
    return route != nullptr ? route->path : "other";
}

} // namespace

// One connection: reads a request within its deadlines, answers it, and waits for the next.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, HttpService::State& state)
        : stream_(std::move(socket)), s_(state), body_timer_(state.io) {}

    void Start() {
        ++s_.connections;
        if (s_.sessions.size() > 2 * s_.connections + 64) { // forget the ended ones now and then
            for (auto it = s_.sessions.begin(); it != s_.sessions.end();) {
                it = it->expired() ? s_.sessions.erase(it) : std::next(it);
            }
        }
        s_.sessions.insert(weak_from_this());
        ReadHeader(s_.options.limits.header_timeout);
    }

    ~Session() {
        --s_.connections;
        Release();
    }

    // Ends a connection that waits for its next request; one under way finishes first.
    void CloseIfIdle() {
        if (idle_) {
            CloseNow();
        }
    }

    void CloseNow() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

private:
    void ReadHeader(std::chrono::milliseconds timeout) {
        idle_ = true;
        route_ = nullptr;
        started_ = false;
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(s_.options.limits.max_header_bytes));
        parser_->body_limit(s_.options.limits.max_upload_bytes);
        stream_.expires_after(timeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
    }

    void OnHeader(beast::error_code ec) {
        idle_ = false;
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == net::error::operation_aborted || ec == net::error::eof) {
            return Close();
        }
        Begin();
        if (ec == http::error::body_limit) {
            return Answer(ErrorReply(413, TooLarge()), true);
        }
        if (ec == http::error::header_limit) {
            return Answer(ErrorReply(431, "请求头太大"), true);
        }
        if (ec) {
            return Answer(ErrorReply(400, "请求格式错误：" + ec.message()), true);
        }
        const bool has_body = parser_->content_length().value_or(0) > 0 || parser_->chunked();
        if (auto reply = FindTheRoute()) {
            // Answered from the headers alone: a body that may follow is not read.
            return Answer(std::move(*reply), has_body || reply->status == 503);
        }
        if (!TakesPhoto(route_->action)) {
            return Answer(Fixed(), has_body);
        }
        StartBody();
    }

    // Finds the route of the request; an answer where the headers alone decide it (stopping,
    // preflight, no such path, wrong method).
    std::optional<Reply> FindTheRoute() {
        const auto& req = parser_->get();
        const std::string_view target(req.target().data(), req.target().size());
        const size_t question = target.find('?');
        path_ = std::string(target.substr(0, question));
        query_ = question == std::string_view::npos ? std::string()
                                                    : std::string(target.substr(question + 1));
        const std::string_view method(req.method_string().data(), req.method_string().size());
        head_ = req.method() == http::verb::head;
        keep_alive_ = req.keep_alive();
        std::string allowed;
        route_ = FindRoute(method, path_, allowed);
        if (s_.stopping) {
            return route_ != nullptr && route_->action == Action::Health
                       ? Reply{503, "application/json", "{\"status\":\"stopping\"}", {}}
                       : ErrorReply(503, "服务正在停止，请稍后再试");
        }
        if (route_ != nullptr) {
            return std::nullopt;
        }
        if (method == "OPTIONS" && !allowed.empty() && !s_.options.cors_origin.empty()) {
            return Reply{204,
                         "",
                         "",
                         {{"Access-Control-Allow-Methods", allowed},
                          {"Access-Control-Allow-Headers", "Content-Type"},
                          {"Access-Control-Max-Age", "600"}}};
        }
        if (allowed.empty()) {
            return ErrorReply(404, "没有这个路径：" + path_);
        }
        Reply reply = ErrorReply(405, "请用 " + allowed + " 访问 " + path_);
        reply.headers.emplace_back("Allow", allowed);
        return reply;
    }

    // A photo comes: refused at once when it is declared too large or there is no memory left
    // for it, read within its deadlines otherwise.
    void StartBody() {
        const ServiceLimits& l = s_.options.limits;
        const auto length = parser_->content_length();
        if (length && *length > l.max_upload_bytes) {
            return Answer(ErrorReply(413, TooLarge()), true);
        }
        reserved_ = length ? static_cast<size_t>(*length) : l.max_upload_bytes;
        if (!Reserve(s_, reserved_)) {
            reserved_ = 0;
            return Busy(true);
        }
        body_deadline_ = Clock::now() + l.body_timeout +
                         std::chrono::seconds(reserved_ / std::max<size_t>(1, l.body_min_rate));
        ReadBody();
    }

    void ReadBody() {
        if (parser_->is_done()) {
            return Dispatch();
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(body_deadline_ - Clock::now());
        if (left.count() <= 0) {
            return Answer(ErrorReply(408, "照片数据传输太慢，请重新上传"), true);
        }
        // Its own timer rather than the stream's, which would close the connection before the
        // client could be told.
        stream_.expires_never();
        timed_out_ = false;
        body_timer_.expires_after(std::min(left, s_.options.limits.body_idle_timeout));
        body_timer_.async_wait([weak = weak_from_this()](beast::error_code ec) {
            if (auto self = weak.lock(); self && !ec) {
                self->timed_out_ = true;
                beast::error_code ignored;
                self->stream_.socket().cancel(ignored);
            }
        });
        http::async_read_some(stream_, buffer_, *parser_,
                              [self = shared_from_this()](beast::error_code ec, size_t) {
                                  self->body_timer_.cancel();
                                  self->OnBody(ec);
                              });
    }

    void OnBody(beast::error_code ec) {
        if (ec == http::error::body_limit) {
            return Answer(ErrorReply(413, TooLarge()), true);
        }
        if (timed_out_) {
            return Answer(ErrorReply(408, "照片数据传输中断，请重新上传"), true);
        }
        if (ec) {
            return Close(); // the client went away mid-body
        }
        ReadBody();
    }

    // The request is whole: find the photo in it and queue its review.
    void Dispatch() {
        auto request = std::make_shared<http::request<http::string_body>>(parser_->release());
        Upload upload;
        const std::string_view type((*request)[http::field::content_type].data(),
                                    (*request)[http::field::content_type].size());
        if (const auto boundary = MultipartBoundary(type)) {
            std::string error;
            const auto field = FindFormField(request->body(), *boundary, "photo", error);
            if (!field) {
                return Answer(ErrorReply(400, error), false);
            }
            upload = {field->content, field->filename};
        } else {
            upload.bytes = request->body();
            upload.filename = QueryValue("filename");
        }
        if (upload.bytes.empty()) {
            return Answer(ErrorReply(400, "没有照片：请求中没有数据"), false);
        }
        const Action action = route_->action;
        net::io_context& io = s_.io;
        const auto queued = Clock::now();
        const bool submitted = s_.pool.TrySubmit(
            [self = shared_from_this(), request, upload, action, queued, &io](WorkerTools& tools) {
                CheckVerdict verdict = CheckVerdict::NotJpeg;
                Reply reply;
                try {
                    reply = Run(action, tools, upload, verdict);
                } catch (const std::exception& e) {
                    reply = ErrorReply(500, std::string("审核失败：") + e.what());
                }
                const double seconds = std::chrono::duration<double>(Clock::now() - queued).count();
                net::post(io, [self, reply = std::move(reply), verdict, seconds]() mutable {
                    self->s_.metrics.ReviewSeconds(seconds);
                    if (reply.status != 500) {
                        self->s_.metrics.Verdict(verdict);
                    }
                    self->Answer(std::move(reply), false);
                });
            });
        if (!submitted) {
            Busy(false);
        }
    }

    static Reply Run(Action action, WorkerTools& tools, const Upload& upload,
                     CheckVerdict& verdict) {
        switch (action) {
        case Action::Review:
            return ReviewReply(tools, upload, verdict);
        case Action::Save:
            return SaveReply(tools, upload, verdict);
        case Action::Annotate:
            return AnnotateReply(tools, upload, verdict);
        case Action::Correct:
            return CorrectReply(tools, upload, verdict);
        default:
            return ErrorReply(500, "这个路径不审核照片");
        }
    }

    // The answers that need no review: the page, tips, health and counters.
    Reply Fixed() {
        switch (route_->action) {
        case Action::Health:
            return {200, "application/json", "{\"status\":\"ok\"}", {}};
        case Action::Metrics:
            return {200, "text/plain; version=0.0.4", s_.metrics.Text(s_.pool.QueueDepth()), {}};
        default:
            break;
        }
        if (const Asset* asset = FindAsset(path_)) {
            Reply reply{200,
                        asset->content_type,
                        std::string(reinterpret_cast<const char*>(asset->data), asset->size),
                        {}};
            reply.headers.emplace_back("Cache-Control", "no-cache");
            return reply;
        }
        return ErrorReply(404, "没有这个文件：" + path_);
    }

    void Busy(bool close) {
        Reply reply = ErrorReply(503, "服务繁忙，请稍后再试");
        reply.headers.emplace_back("Retry-After",
                                   std::to_string(s_.options.limits.retry_after_seconds));
        Answer(std::move(reply), close);
    }

    std::string TooLarge() const {
        return "照片文件太大：超过 " + std::to_string(s_.options.limits.max_upload_bytes >> 20) +
               " MB";
    }

    std::string QueryValue(const std::string& key) const {
        std::string_view rest = query_;
        while (!rest.empty()) {
            const std::string_view pair = rest.substr(0, rest.find('&'));
            rest.remove_prefix(std::min(rest.size(), pair.size() + 1));
            const size_t eq = pair.find('=');
            if (pair.substr(0, eq) == key && eq != std::string_view::npos) {
                return PercentDecode(pair.substr(eq + 1)).value_or(std::string());
            }
        }
        return std::string();
    }

    void Begin() {
        started_ = true;
        ++s_.in_flight;
        s_.metrics.InFlight(1);
    }

    void Release() {
        s_.body_bytes -= reserved_;
        reserved_ = 0;
        if (started_) {
            started_ = false;
            --s_.in_flight;
            s_.metrics.InFlight(-1);
        }
    }

    // Writes the answer; close ends the connection after it (the body may not have been read).
    void Answer(Reply reply, bool close) {
        auto res = std::make_shared<http::response<http::string_body>>();
        res->result(static_cast<http::status>(reply.status));
        res->version(11);
        res->set(http::field::server, "vrel-serve");
        if (!reply.content_type.empty()) {
            res->set(http::field::content_type, reply.content_type);
        }
        for (const auto& [name, value] : reply.headers) {
            res->set(name, value);
        }
        if (!s_.options.cors_origin.empty()) {
            res->set(http::field::access_control_allow_origin, s_.options.cors_origin);
            res->set(http::field::vary, "Origin");
            res->set(http::field::access_control_expose_headers,
                     "Content-Disposition, X-Vrel-Correction, X-Vrel-Verdict, Retry-After");
        }
        const bool keep = !close && !s_.stopping && keep_alive_;
        res->keep_alive(keep);
        res->body() = std::move(reply.body);
        res->prepare_payload();
        if (head_) { // the length of the GET answer, without its body
            const auto length = res->body().size();
            res->body().clear();
            res->content_length(length);
        }
        s_.metrics.Request(RouteLabel(route_), reply.status);
        stream_.expires_after(s_.options.limits.write_timeout);
        http::async_write(
            stream_, *res,
            [self = shared_from_this(), res, keep, close](beast::error_code ec, size_t) {
                self->Release();
                if (ec) {
                    return self->CloseNow();
                }
                if (close) {
                    return self->Linger();
                }
                if (!keep) {
                    return self->Close();
                }
                self->ReadHeader(self->s_.options.limits.keep_alive_timeout);
            });
    }

    void Close() {
        Release();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.close();
    }

    // After an answer given before the body was read: stops sending, and reads what the client
    // still sends for a moment, so that closing does not reset the connection before the client
    // has read the answer.
    void Linger() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        linger_until_ = Clock::now() + std::chrono::milliseconds(500);
        Drain();
    }

    void Drain() {
        const auto left = linger_until_ - Clock::now();
        if (left <= Clock::duration::zero()) {
            return CloseNow();
        }
        stream_.expires_after(left);
        stream_.async_read_some(net::buffer(scratch_),
                                [self = shared_from_this()](beast::error_code ec, size_t) {
                                    if (ec) {
                                        return self->CloseNow();
                                    }
                                    self->Drain();
                                });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    HttpService::State& s_;
    const Route* route_ = nullptr;
    std::string path_, query_;
    size_t reserved_ = 0;
    bool started_ = false;
    bool idle_ = false;
    bool head_ = false;
    bool keep_alive_ = false;
    net::steady_timer body_timer_;
    bool timed_out_ = false;
    Clock::time_point body_deadline_;
    Clock::time_point linger_until_;
    std::array<char, 16384> scratch_{};
};

void HttpService::State::Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec) {
            if (ec != net::error::operation_aborted && acceptor.is_open()) {
                Accept();
            }
            return;
        }
        if (connections >= options.limits.max_connections || stopping) {
            beast::error_code ignored;
            socket.close(ignored); // beyond what is served: closed as it comes
        } else {
            std::make_shared<Session>(std::move(socket), *this)->Start();
        }
        Accept();
    });
}

void HttpService::State::BeginStop() {
    if (stopping) {
        return;
    }
    stopping = true;
    beast::error_code ignored;
    acceptor.close(ignored);
    signals.cancel(ignored);
    for (const auto& weak : sessions) {
        if (auto session = weak.lock()) {
            session->CloseIfIdle();
        }
    }
    // Requests under way finish, within the drain timeout.
    const auto deadline = Clock::now() + options.limits.drain_timeout;
    auto timer = std::make_shared<net::steady_timer>(io);
    auto check = std::make_shared<std::function<void()>>();
    *check = [this, timer, check, deadline] {
        if (in_flight == 0 || Clock::now() >= deadline) {
            io.stop();
            *check = nullptr; // breaks the cycle
            return;
        }
        for (const auto& weak : sessions) {
            if (auto session = weak.lock()) {
                session->CloseIfIdle();
            }
        }
        timer->expires_after(std::chrono::milliseconds(20));
        timer->async_wait([check](beast::error_code) {
            if (*check) {
                (*check)();
            }
        });
    };
    (*check)();
}

HttpService::HttpService(ServiceOptions options)
    : state_(std::make_shared<State>(std::move(options))) {}

HttpService::~HttpService() {
    state_->pool.Stop();
}

bool HttpService::Listen(std::string& error) {
    State& s = *state_;
    beast::error_code ec;
    const auto address = net::ip::make_address(s.options.address, ec);
    if (ec) {
        error = "not an address: '" + s.options.address + "'";
        return false;
    }
    const tcp::endpoint endpoint(address, s.options.port);
    s.acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        s.acceptor.set_option(net::socket_base::reuse_address(true), ec);
        s.acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        s.acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot listen on " + s.options.address + ":" + std::to_string(s.options.port) +
                ": " + ec.message();
        return false;
    }
    return true;
}

uint16_t HttpService::Port() const {
    beast::error_code ec;
    return state_->acceptor.local_endpoint(ec).port();
}

void HttpService::Run(bool handle_signals) {
    State& s = *state_;
    if (handle_signals) {
        s.signals.add(SIGTERM);
        s.signals.add(SIGINT);
        s.signals.async_wait([&s](beast::error_code ec, int) {
            if (!ec) {
                s.BeginStop();
            }
        });
    }
    s.Accept();
    s.io.run();
    // Whatever is left: reviews finish, connections close, and their handlers run to their end
    // while everything they use is still there.
    s.pool.Stop();
    for (const auto& weak : s.sessions) {
        if (auto session = weak.lock()) {
            session->CloseNow();
        }
    }
    s.io.restart();
    s.io.run_for(std::chrono::seconds(2));
}

void HttpService::Stop() {
    State* s = state_.get();
    net::post(s->io, [s] { s->BeginStop(); });
}

Metrics& HttpService::Counters() {
    return state_->metrics;
}

} // namespace vrel::serve
