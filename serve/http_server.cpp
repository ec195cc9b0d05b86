#include "serve/http_server.h"

#include "check/jpeg_decode.h"
#include "correct/image_input.h"
#include "serve/assets.h"
#include "serve/handlers.h"
#include "serve/pixel_budget.h"
#include "serve/request_gate.h"
#include "serve/routes.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <set>

namespace vrel::serve {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class Session;

struct HttpService::State {
    explicit State(ServiceOptions o)
        : options(std::move(o)), acceptor(io), signals(io), accept_timer(io), stop_timer(io),
          pool(options.pool), pixels(options.limits.pixel_budget),
          log(options.log_format, options.quiet, options.log) {
        ServiceLimits& l = options.limits;
        if (l.body_memory_budget == 0) {
            l.body_memory_budget =
                (static_cast<size_t>(std::max(1, options.pool.jobs)) + l.queue + 4) *
                l.max_upload_bytes;
        }
    }

    // Serving; Draining: answering as usual with /readyz at 503 until the drain ends;
    // Stopping: taking nothing new, finishing or cancelling what is under way.
    enum class Phase { Serving, Draining, Stopping };

    ServiceOptions options;
    net::io_context io;
    tcp::acceptor acceptor;
    net::signal_set signals;
    net::steady_timer accept_timer; // waits after a failed accept before the next
    net::steady_timer stop_timer;
    milliseconds accept_backoff{0};
    ReviewPool pool;
    PixelBudget pixels;
    Metrics metrics;
    AccessLog log;
    Phase phase = Phase::Serving;
    bool cancelling = false; // past the stop's deadline: what is under way is cancelled
    Clock::time_point stop_deadline;
    // Counted on the I/O thread, but a connection may end on a worker thread that held it last.
    std::atomic<size_t> connections{0};
    std::atomic<size_t> in_flight{0};  // requests from their headers to their answer
    std::atomic<size_t> body_bytes{0}; // memory held for request bodies
    std::set<std::weak_ptr<Session>, std::owner_less<std::weak_ptr<Session>>> sessions;

    void Accept();
    void OnAccepted(tcp::socket socket);
    void RetryAccept(const beast::error_code& ec);
    bool EvictIdle();
    void BeginDrain();
    void BeginStop(milliseconds finish_within);
    void CheckStopped();
    void CancelUnderWay();
    bool Saturated() const;
};

namespace {

bool Reserve(HttpService::State& s, size_t bytes) {
    size_t held = s.body_bytes.load();
    do {
        if (held + bytes > s.options.limits.body_memory_budget) {
            return false;
        }
    } while (!s.body_bytes.compare_exchange_weak(held, held + bytes));
    return true;
}

std::string RouteLabel(const Route* route) {
    return route != nullptr ? route->path : "other";
}

// 64-bit FNV-1a of an asset, as its entity tag: the same bytes give the same tag in every
// process, so caches keep their copies across restarts.
std::string EntityTag(const Asset& asset) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < asset.size; ++i) {
        hash = (hash ^ asset.data[i]) * 1099511628211ull;
    }
    char text[24];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return text;
}

// The pixels a photo will be decoded to, from the headers the decoders read; 0 for what is not
// decoded at all (not a picture, or beyond the ceiling, which the review refuses unread).
int64_t DeclaredPixels(std::string_view bytes) {
    const auto info =
        SniffImage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (!info) {
        return 0;
    }
    const int64_t pixels = info->DecodedPixels();
    return pixels > kMaxDecodedPixels ? 0 : pixels;
}

constexpr const char* kPageSecurityPolicy =
    "default-src 'self'; img-src 'self' data: blob:; script-src 'self'; style-src 'self'; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";
constexpr const char* kApiSecurityPolicy = "default-src 'none'; frame-ancestors 'none'";

// Why a connection ends while its body is read.
enum class BodyStop { None, Idle, Total, TooSlow, Shutdown };

} // namespace

// One connection: reads a request within its deadlines, answers it, and waits for the next.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, HttpService::State& state)
        : stream_(std::move(socket)), buffer_(BufferLimit(state.options.limits)), s_(state),
          body_timer_(state.io), watch_(std::make_shared<std::atomic<bool>>(false)) {
        beast::error_code ec;
        const auto endpoint = stream_.socket().remote_endpoint(ec);
        if (!ec) {
            remote_ = endpoint.address().to_string();
        }
    }

    void Start() {
        ++s_.connections;
        s_.metrics.Connections(1);
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
        s_.metrics.Connections(-1);
        Release();
    }

    bool Idle() const { return idle_; }
    Clock::time_point IdleSince() const { return idle_since_; }

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

    // A stopping service: the review under way ends early, and a body being read is not read
    // on; both are answered 503.
    void CancelReview() {
        if (reviewing_) {
            watch_->store(true);
        }
        if (reading_body_) {
            stop_ = BodyStop::Shutdown;
            body_timer_.cancel();
            beast::error_code ignored;
            stream_.socket().cancel(ignored);
        }
    }

private:
    // Headers, chunk extensions and trailers must fit, with room to read the body in pieces; it
    // stays below the 64 KB at which the parser can no longer store one field.
    static size_t BufferLimit(const ServiceLimits& l) {
        return std::min<size_t>(l.max_header_bytes + 16 * 1024, 60 * 1024);
    }

    void ReadHeader(milliseconds timeout) {
        idle_ = true;
        idle_since_ = Clock::now();
        route_ = nullptr;
        started_ = false;
        verdict_.clear();
        parser_.emplace();
        LimitParser(*parser_, s_.options.limits, tally_);
        stream_.expires_after(timeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, size_t n) {
                                    self->tally_.header_bytes = n;
                                    self->OnHeader(ec);
                                });
    }

    void OnHeader(beast::error_code ec) {
        const bool waited = buffer_.size() == 0; // nothing of a request came
        idle_ = false;
        method_.clear();
        path_.clear();
        if (ec == http::error::end_of_stream || ec == net::error::operation_aborted ||
            ec == net::error::eof || ec == net::error::connection_reset) {
            return Close();
        }
        if (ec == beast::error::timeout) {
            s_.metrics.ConnectionEnded(waited && kept_ ? "keep_alive_timeout" : "header_timeout");
            return Close();
        }
        Begin();
        if (ec) {
            s_.metrics.ConnectionEnded("protocol_error");
            return RefuseMalformed(ec);
        }
        ReadTarget();
        if (auto refusal = CheckRequestHead(*parser_)) {
            s_.metrics.ConnectionEnded("protocol_error");
            return Answer(ErrorReply(refusal->status, refusal->message), true);
        }
        const bool has_body = parser_->content_length().value_or(0) > 0 || parser_->chunked();
        if (auto reply = FindTheRoute()) {
            // Answered from the headers alone: a body that may follow is not read.
            return Answer(std::move(*reply), has_body || reply->status == 503);
        }
        if (!TakesPhoto(route_->action)) {
            return Answer(Fixed(), has_body);
        }
        // The colour a correction asks for is checked before its photo is read.
        backdrop_.reset();
        if (route_->action == Action::Correct) {
            auto asked = RequestedBackdrop(query_, s_.options.pool.settings);
            if (const auto* refusal = std::get_if<Refusal>(&asked)) {
                return Answer(ErrorReply(refusal->status, refusal->message), has_body);
            }
            backdrop_ = std::get<std::optional<BackdropColour>>(asked);
        }
        StartBody();
    }

    // A request the parser could not take: too large (413, 431) or malformed (400).
    void RefuseMalformed(beast::error_code ec) {
        if (ec == http::error::body_limit) {
            return Answer(ErrorReply(413, TooLarge()), true);
        }
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            return Answer(ErrorReply(431, "请求头太大"), true);
        }
        Answer(ErrorReply(400, "请求格式错误：" + ec.message()), true);
    }

    void ReadTarget() {
        const auto& req = parser_->get();
        const std::string_view target(req.target().data(), req.target().size());
        const size_t question = target.find('?');
        path_ = std::string(target.substr(0, question));
        query_ = question == std::string_view::npos ? std::string()
                                                    : std::string(target.substr(question + 1));
        method_ = std::string(req.method_string());
        head_ = req.method() == http::verb::head;
        keep_alive_ = req.keep_alive();
    }

    // Finds the route of the request; an answer where the headers alone decide it (stopping,
    // preflight, no such path, wrong method).
    std::optional<Reply> FindTheRoute() {
        std::string allowed;
        route_ = FindRoute(method_, path_, allowed);
        if (s_.phase == HttpService::State::Phase::Stopping) {
            const bool probe = route_ != nullptr && (route_->action == Action::Health ||
                                                     route_->action == Action::Ready);
            if (probe) {
                return std::nullopt;
            }
            s_.metrics.Busy("stopping");
            return ErrorReply(503, "服务正在停止，请稍后再试");
        }
        if (route_ != nullptr) {
            return std::nullopt;
        }
        if (method_ == "OPTIONS" && !allowed.empty() && !s_.options.cors_origin.empty()) {
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
    // for it, read within its deadlines otherwise (after "100 Continue" where it was asked for).
    void StartBody() {
        const ServiceLimits& l = s_.options.limits;
        const auto length = parser_->content_length();
        if (length && *length > l.max_upload_bytes) {
            return Answer(ErrorReply(413, TooLarge()), true);
        }
        reserved_ = length ? static_cast<size_t>(*length) : l.max_upload_bytes;
        if (!Reserve(s_, reserved_)) {
            reserved_ = 0;
            return Busy("body_memory", true);
        }
        body_started_ = Clock::now();
        body_deadline_ = body_started_ + l.body_timeout +
                         std::chrono::seconds(reserved_ / std::max<size_t>(1, l.body_min_rate));
        const auto& req = parser_->get();
        if (req.version() >= 11 && req.count(http::field::expect) > 0) {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            stream_.expires_after(l.write_timeout);
            return net::async_write(stream_, net::buffer(kContinue),
                                    [self = shared_from_this()](beast::error_code ec, size_t) {
                                        if (ec) {
                                            return self->CloseNow();
                                        }
                                        self->ReadBody();
                                    });
        }
        ReadBody();
    }

    void ReadBody() {
        if (parser_->is_done()) {
            return Finish();
        }
        const ServiceLimits& l = s_.options.limits;
        const auto now = Clock::now();
        // From the grace period on, the body must have come at the minimum rate on average.
        const auto slow_at = body_started_ + l.body_grace +
                             milliseconds(parser_->get().body().size() * 1000 /
                                          std::max<size_t>(1, l.body_min_rate));
        if (now >= slow_at) {
            return TooSlow(BodyStop::TooSlow);
        }
        if (now >= body_deadline_) {
            return TooSlow(BodyStop::Total);
        }
        // Its own timer rather than the stream's, which would close the connection before the
        // client could be told.
        stream_.expires_never();
        stop_ = BodyStop::None;
        const auto idle_at = now + l.body_idle_timeout;
        const auto wake = std::min({idle_at, body_deadline_, slow_at});
        const BodyStop why = wake == idle_at          ? BodyStop::Idle
                             : wake == body_deadline_ ? BodyStop::Total
                                                      : BodyStop::TooSlow;
        body_timer_.expires_at(wake);
        body_timer_.async_wait([weak = weak_from_this(), why](beast::error_code ec) {
            if (auto self = weak.lock(); self && !ec) {
                self->stop_ = why;
                beast::error_code ignored;
                self->stream_.socket().cancel(ignored);
            }
        });
        reading_body_ = true;
        http::async_read_some(stream_, buffer_, *parser_,
                              [self = shared_from_this()](beast::error_code ec, size_t) {
                                  self->reading_body_ = false;
                                  self->body_timer_.cancel();
                                  self->OnBody(ec);
                              });
    }

    void OnBody(beast::error_code ec) {
        if (stop_ != BodyStop::None) {
            return TooSlow(stop_);
        }
        const bool ended = ec == http::error::end_of_stream || ec == http::error::partial_message;
        if (ec && !ended &&
            ec.category() == http::make_error_code(http::error::bad_chunk).category()) {
            s_.metrics.ConnectionEnded("protocol_error"); // a malformed chunk, too large, ...
            return RefuseMalformed(ec);
        }
        if (ec) {
            note_ = "the client went away during the upload";
            return Close();
        }
        ReadBody();
    }

    void TooSlow(BodyStop why) {
        if (why == BodyStop::Shutdown) {
            s_.metrics.Busy("stopping");
            return Answer(ErrorReply(503, "服务正在停止，请稍后再试"), true);
        }
        s_.metrics.ConnectionEnded(why == BodyStop::Idle    ? "body_timeout"
                                   : why == BodyStop::Total ? "body_timeout"
                                                            : "body_too_slow");
        Answer(ErrorReply(408, why == BodyStop::Idle ? "照片数据传输中断，请重新上传"
                                                     : "照片数据传输太慢，请重新上传"),
               true);
    }

    // The body is whole: its trailers within the header limit, then the photo found in it.
    void Finish() {
        if (s_.cancelling) {
            s_.metrics.Busy("stopping");
            return Answer(ErrorReply(503, "服务正在停止，请稍后再试"), true);
        }
        if (auto refusal = CheckTrailers(*parser_, tally_.extension_bytes, s_.options.limits)) {
            return Answer(ErrorReply(refusal->status, refusal->message), true);
        }
        Dispatch();
    }

    // Queues the review of the photo in the request.
    void Dispatch() {
        auto request = std::make_shared<http::request<http::string_body>>(parser_->release());
        bytes_in_ = request->body().size();
        const auto type = (*request)[http::field::content_type];
        auto found =
            FindUpload(std::string_view(type.data(), type.size()), request->body(), query_);
        if (const auto* refusal = std::get_if<Refusal>(&found)) {
            return Answer(ErrorReply(refusal->status, refusal->message), false);
        }
        Upload upload = std::get<Upload>(found);
        upload.backdrop = backdrop_;
        watch_->store(false);
        reviewing_ = true;
        const bool submitted = s_.pool.TrySubmit(
            {ReviewJob(request, upload), [weak = weak_from_this(), &io = s_.io] {
                 net::post(io, [weak] {
                     if (auto self = weak.lock()) {
                         self->OnReviewed(Reply(), CheckVerdict::NotJpeg, 0, true);
                     }
                 });
             }});
        if (!submitted) {
            reviewing_ = false;
            return Busy("queue", false);
        }
        WatchClient();
    }

    // The review on a worker: within the budget of decoded pixels and the time limit, stopped
    // early when the client goes or the service stops. Its answer is written on the I/O thread,
    // where the last hold on the connection is also let go.
    std::function<void(WorkerTools&)>
    ReviewJob(std::shared_ptr<http::request<http::string_body>> request, Upload upload) {
        return [self = shared_from_this(), request, upload, action = route_->action,
                queued = Clock::now()](WorkerTools& tools) mutable {
            HttpService::State& s = self->s_;
            const ServiceLimits& l = s.options.limits;
            WorkLimit limit = WorkLimit::Within(l.review_timeout);
            limit.cancelled = self->watch_.get();
            CheckVerdict verdict = CheckVerdict::NotJpeg;
            Reply reply;
            bool busy = false;
            {
                PixelShare share(s.pixels, DeclaredPixels(upload.bytes), l.pixel_budget_wait);
                if (!share.Held()) {
                    busy = true;
                } else {
                    try {
                        reply = s.options.handler
                                    ? s.options.handler(action, tools, upload, limit, verdict)
                                    : Run(action, tools, upload, limit, verdict);
                    } catch (const std::exception& e) {
                        reply = ErrorReply(500, std::string("审核失败：") + e.what());
                    }
                }
            }
            const double seconds = std::chrono::duration<double>(Clock::now() - queued).count();
            request.reset();
            net::post(s.io, [self = std::move(self), reply = std::move(reply), verdict, seconds,
                             busy]() mutable {
                if (busy) {
                    self->reviewing_ = false;
                    return self->Busy("pixel_budget", false);
                }
                self->OnReviewed(std::move(reply), verdict, seconds, false);
            });
        };
    }

    static Reply Run(Action action, WorkerTools& tools, const Upload& upload,
                     const WorkLimit& limit, CheckVerdict& verdict) {
        switch (action) {
        case Action::Review:
            return ReviewReply(tools, upload, limit, verdict);
        case Action::Save:
            return SaveReply(tools, upload, limit, verdict);
        case Action::Annotate:
            return AnnotateReply(tools, upload, limit, verdict);
        case Action::Correct:
            return CorrectReply(tools, upload, limit, verdict);
        default:
            return ErrorReply(500, "这个路径不审核照片");
        }
    }

    // While the review runs nothing is read; a client that closes its side (or resets) cancels
    // it. A client that already sends its next request is left to it.
    void WatchClient() {
        stream_.socket().async_wait(
            tcp::socket::wait_read, [self = shared_from_this()](beast::error_code ec) {
                if (ec || !self->reviewing_) {
                    return;
                }
                beast::error_code error;
                const size_t waiting = self->stream_.socket().available(error);
                if (error || waiting == 0) { // end of stream, or reset
                    self->client_gone_ = true;
                    self->watch_->store(true);
                }
            });
    }

    void OnReviewed(Reply reply, CheckVerdict verdict, double seconds, bool dropped) {
        reviewing_ = false;
        beast::error_code ignored;
        stream_.socket().cancel(ignored); // the watch on the client
        const bool stopping = s_.phase == HttpService::State::Phase::Stopping;
        if (client_gone_) {
            s_.metrics.Cancelled("client_gone");
            note_ = "the client went away; its review was cancelled";
            return Close();
        }
        if (dropped || (stopping && watch_->load())) {
            s_.metrics.Cancelled("shutdown");
            s_.metrics.Busy("stopping");
            return Answer(ErrorReply(503, "服务正在停止，请稍后再试"), true);
        }
        s_.metrics.ReviewSeconds(seconds);
        if (reply.status != 500 && reply.status != 503) { // 503: the work could not be done
            s_.metrics.Verdict(verdict);
            verdict_ = VerdictName(verdict);
        }
        Answer(std::move(reply), false);
    }

    // The answers that need no review: the page, tips, probes and counters.
    Reply Fixed() {
        switch (route_->action) {
        case Action::Health:
            return {200, "application/json", "{\"status\":\"ok\"}", {}};
        case Action::Ready:
            if (s_.phase != HttpService::State::Phase::Serving) {
                return {503, "application/json", "{\"status\":\"draining\"}", {}};
            }
            if (s_.Saturated()) {
                return {503, "application/json", "{\"status\":\"saturated\"}", {}};
            }
            return {200, "application/json", "{\"status\":\"ready\"}", {}};
        case Action::Metrics:
            return {200,
                    "text/plain; version=0.0.4",
                    s_.metrics.Text(s_.pool.QueueDepth(),
                                    s_.options.log_dropped ? s_.options.log_dropped() : 0),
                    {}};
        case Action::Backdrops:
            return BackdropsReply(s_.options.pool.settings, s_.options.pool.backdrop);
        default:
            break;
        }
        const Asset* asset = FindAsset(path_);
        if (asset == nullptr) {
            return ErrorReply(404, "没有这个文件：" + path_);
        }
        const std::string tag = EntityTag(*asset);
        const auto match = parser_->get()[http::field::if_none_match];
        Reply reply{200, asset->content_type, "", {}};
        if (std::string_view(match.data(), match.size()) == tag) {
            reply.status = 304;
            reply.content_type.clear();
        } else {
            reply.body.assign(reinterpret_cast<const char*>(asset->data), asset->size);
        }
        reply.headers.emplace_back("ETag", tag);
        reply.headers.emplace_back("Cache-Control", "no-cache");
        return reply;
    }

    void Busy(const std::string& cause, bool close) {
        s_.metrics.Busy(cause);
        Reply reply = ErrorReply(503, "服务繁忙，请稍后再试");
        reply.headers.emplace_back("Retry-After",
                                   std::to_string(s_.options.limits.retry_after_seconds));
        Answer(std::move(reply), close);
    }

    std::string TooLarge() const {
        return "照片文件太大：超过 " + std::to_string(s_.options.limits.max_upload_bytes >> 20) +
               " MB";
    }

    void Begin() {
        started_ = true;
        request_id_ = AccessLog::NewId();
        request_start_ = Clock::now();
        bytes_in_ = 0;
        note_.clear();
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

    // The access log line of the request under way: status 0 where it got no answer.
    void LogRequest(int status, size_t bytes_out) {
        if (!started_) {
            return;
        }
        AccessEntry e;
        e.id = request_id_;
        e.remote = remote_;
        e.method = method_;
        e.path = path_;
        e.route = RouteLabel(route_);
        e.status = status;
        e.bytes_in = bytes_in_;
        e.bytes_out = bytes_out;
        e.milliseconds =
            std::chrono::duration<double, std::milli>(Clock::now() - request_start_).count();
        e.verdict = verdict_;
        e.note = note_;
        s_.log.Request(e);
    }

    void SetCommonHeaders(http::response<http::string_body>& res, const Reply& reply) const {
        res.set(http::field::server, "vrel-serve");
        res.set("X-Request-Id", request_id_);
        res.set("X-Content-Type-Options", "nosniff");
        res.set("Referrer-Policy", "no-referrer");
        res.set("X-Frame-Options", "DENY");
        // The page's own policy on its 304 as on its 200: a browser keeps the headers of the
        // revalidated answer with the page it has.
        const bool page = reply.content_type.rfind("text/html", 0) == 0 ||
                          (route_ != nullptr && route_->action == Action::Page && path_ == "/");
        res.set("Content-Security-Policy", page ? kPageSecurityPolicy : kApiSecurityPolicy);
        bool cache_control = false;
        for (const auto& [name, value] : reply.headers) {
            cache_control = cache_control || name == "Cache-Control";
        }
        if (!cache_control) { // records and photos are the applicant's: never kept by caches
            res.set(http::field::cache_control, "no-store");
        }
        if (!s_.options.cors_origin.empty()) {
            res.set(http::field::access_control_allow_origin, s_.options.cors_origin);
            res.set(http::field::vary, "Origin");
            res.set(http::field::access_control_expose_headers,
                    "Content-Disposition, X-Vrel-Correction, X-Vrel-Verdict, X-Request-Id, "
                    "Retry-After");
        }
    }

    // Writes the answer; close ends the connection after it (the body may not have been read).
    void Answer(Reply reply, bool close) {
        auto res = std::make_shared<http::response<http::string_body>>();
        res->result(static_cast<http::status>(reply.status));
        res->version(11);
        SetCommonHeaders(*res, reply);
        if (!reply.content_type.empty()) {
            res->set(http::field::content_type, reply.content_type);
        }
        for (const auto& [name, value] : reply.headers) {
            res->set(name, value);
        }
        // While draining, clients are sent on to other instances.
        const bool keep = !close && s_.phase == HttpService::State::Phase::Serving && keep_alive_;
        res->keep_alive(keep);
        const size_t length = reply.body.size();
        res->body() = std::move(reply.body);
        res->prepare_payload();
        if (head_ || reply.status == 304) { // the length of the GET answer, without its body
            res->body().clear();
            if (head_) {
                res->content_length(length);
            }
        }
        s_.metrics.Request(RouteLabel(route_), reply.status);
        LogRequest(reply.status, res->body().size());
        stream_.expires_after(s_.options.limits.write_timeout);
        http::async_write(
            stream_, *res,
            [self = shared_from_this(), res, keep, close](beast::error_code ec, size_t) {
                self->Release();
                if (ec) {
                    if (ec == beast::error::timeout) {
                        self->s_.metrics.ConnectionEnded("write_timeout");
                    }
                    return self->CloseNow();
                }
                if (close) {
                    return self->Linger();
                }
                if (!keep) {
                    return self->Close();
                }
                self->kept_ = true;
                self->ReadHeader(self->s_.options.limits.keep_alive_timeout);
            });
    }

    void Close() {
        LogRequest(0, 0);
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
        linger_until_ = Clock::now() + milliseconds(500);
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
    ExtensionTally tally_; // the header and chunk extension bytes of the request under way
    std::optional<RequestParser> parser_;
    HttpService::State& s_;
    const Route* route_ = nullptr;
    std::string method_, path_, query_, remote_;
    std::optional<BackdropColour> backdrop_; // asked for by the correction under way
    size_t reserved_ = 0;
    bool started_ = false;
    bool idle_ = false;
    bool kept_ = false; // a request was answered before: waiting now is keep-alive
    Clock::time_point idle_since_;
    bool head_ = false;
    bool keep_alive_ = false;
    net::steady_timer body_timer_;
    BodyStop stop_ = BodyStop::None;
    Clock::time_point body_started_;
    Clock::time_point body_deadline_;
    Clock::time_point linger_until_;
    // Raised to stop the review under way; read by the worker.
    std::shared_ptr<std::atomic<bool>> watch_;
    bool reviewing_ = false;
    bool reading_body_ = false;
    bool client_gone_ = false;
    std::string request_id_;
    Clock::time_point request_start_;
    size_t bytes_in_ = 0;
    std::string verdict_;
    std::string note_;
    std::array<char, 16384> scratch_{};
};

void HttpService::State::Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec) {
            return RetryAccept(ec);
        }
        accept_backoff = milliseconds(0);
        OnAccepted(std::move(socket));
        Accept();
    });
}

// Out of descriptors (or another failure): an idle connection is let go, and the next accept
// waits a little longer each time, so that the loop never spins.
void HttpService::State::RetryAccept(const beast::error_code& ec) {
    if (ec == net::error::operation_aborted || !acceptor.is_open()) {
        return;
    }
    if (accept_backoff.count() == 0) {
        log.Event("accept failed", ec.message());
    }
    EvictIdle();
    accept_backoff = std::min(milliseconds(1000), std::max(milliseconds(10), 2 * accept_backoff));
    accept_timer.expires_after(accept_backoff);
    accept_timer.async_wait([this](beast::error_code wait) {
        if (!wait && acceptor.is_open()) {
            Accept();
        }
    });
}

void HttpService::State::OnAccepted(tcp::socket socket) {
    if (phase == Phase::Stopping) {
        beast::error_code ignored;
        socket.close(ignored);
        return;
    }
    if (connections >= options.limits.max_connections && !EvictIdle()) {
        metrics.ConnectionEnded("refused");
        beast::error_code ignored;
        socket.close(ignored); // every connection is busy: this one is closed as it comes
        return;
    }
    std::make_shared<Session>(std::move(socket), *this)->Start();
}

// Closes the connection that has waited longest for a request; false when none waits.
bool HttpService::State::EvictIdle() {
    std::shared_ptr<Session> oldest;
    for (const auto& weak : sessions) {
        auto session = weak.lock();
        if (session && session->Idle() && (!oldest || session->IdleSince() < oldest->IdleSince())) {
            oldest = std::move(session);
        }
    }
    if (!oldest) {
        return false;
    }
    metrics.ConnectionEnded("evicted");
    oldest->CloseNow();
    return true;
}

bool HttpService::State::Saturated() const {
    const ServiceLimits& l = options.limits;
    return pool.QueueDepth() >= pool.Capacity() ||
           body_bytes.load() + l.max_upload_bytes > l.body_memory_budget ||
           pixels.Used() >= pixels.Capacity();
}

// SIGTERM: /readyz turns 503 so that the balancer sends new clients elsewhere, and everything
// else is answered as usual until the drain ends.
void HttpService::State::BeginDrain() {
    if (phase != Phase::Serving) {
        return;
    }
    phase = Phase::Draining;
    const auto drain = options.limits.drain_timeout;
    char text[96];
    std::snprintf(text, sizeof text, "draining: /readyz answers 503; stopping in %.1f s",
                  drain.count() / 1000.0);
    log.Notice(text);
    stop_timer.expires_after(drain);
    stop_timer.async_wait([this](beast::error_code ec) {
        if (!ec) {
            BeginStop(milliseconds(0));
        }
    });
}

// Takes nothing new; requests under way get finish_within to end, then what is queued is
// answered 503 and what runs is cancelled.
void HttpService::State::BeginStop(milliseconds finish_within) {
    if (phase == Phase::Stopping) {
        return;
    }
    phase = Phase::Stopping;
    beast::error_code ignored;
    stop_timer.cancel();
    acceptor.close(ignored);
    accept_timer.cancel();
    signals.cancel(ignored);
    stop_deadline = Clock::now() + finish_within;
    if (finish_within.count() == 0) {
        CancelUnderWay();
    }
    CheckStopped();
}

void HttpService::State::CancelUnderWay() {
    cancelling = true;
    pool.DropQueued();
    for (const auto& weak : sessions) {
        if (auto session = weak.lock()) {
            session->CancelReview();
        }
    }
}

// Every 20 ms until the last request is answered, or, past the deadline, until the cancelled
// ones are (a review stops between its steps and while it decodes).
void HttpService::State::CheckStopped() {
    for (const auto& weak : sessions) {
        if (auto session = weak.lock()) {
            session->CloseIfIdle();
        }
    }
    const auto now = Clock::now();
    if (in_flight == 0 || now >= stop_deadline + milliseconds(2000)) {
        io.stop();
        return;
    }
    if (now >= stop_deadline) {
        CancelUnderWay();
    }
    stop_timer.expires_after(milliseconds(20));
    stop_timer.async_wait([this](beast::error_code ec) {
        if (!ec) {
            CheckStopped();
        }
    });
}

HttpService::HttpService(ServiceOptions options)
    : state_(std::make_shared<State>(std::move(options))) {}

HttpService::~HttpService() {
    state_->pool.Stop();
}

Error HttpService::Listen() {
    State& s = *state_;
    if (const Error failure = s.pool.WaitUntilReady()) {
        return {failure.Code(), "the review workers could not start: " + failure.Detail()};
    }
    beast::error_code ec;
    const auto address = net::ip::make_address(s.options.address, ec);
    if (ec) {
        return {ErrorCode::Invalid, "not an address: '" + s.options.address + "'"};
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
        const std::string shown =
            address.is_v6() ? "[" + s.options.address + "]" : s.options.address;
        return {ErrorCode::Invalid, "cannot listen on " + shown + ":" +
                                        std::to_string(s.options.port) + ": " + ec.message()};
    }
    return {};
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
#ifdef SIGHUP
        // A closed terminal, or a supervisor's reload: drained like SIGTERM, so that what runs
        // is answered.
        s.signals.add(SIGHUP);
#endif
        s.signals.async_wait([&s](beast::error_code ec, int signal) {
            if (ec) {
                return;
            }
            if (signal != SIGINT) {
                s.BeginDrain();
                // A second signal stops at once.
                s.signals.async_wait([&s](beast::error_code again, int) {
                    if (!again) {
                        s.BeginStop(milliseconds(0));
                    }
                });
            } else {
                s.BeginStop(s.options.limits.drain_timeout);
            }
        });
    }
    s.Accept();
    // A handler that throws ends its own connection (its hold on it is let go as the exception
    // passes); the service goes on.
    for (;;) {
        try {
            s.io.run();
            break;
        } catch (const std::exception& e) {
            s.log.Event("exception", e.what());
        }
    }
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
    net::post(s->io, [s] { s->BeginStop(s->options.limits.drain_timeout); });
}

void HttpService::Drain() {
    State* s = state_.get();
    net::post(s->io, [s] { s->BeginDrain(); });
}

Metrics& HttpService::Counters() {
    return state_->metrics;
}

} // namespace vrel::serve
