#include "serve/connection.h"

#include "check/jpeg_decode.h"
#include "correct/image_input.h"

#include <boost/asio.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>

namespace vrel::serve {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using std::chrono::milliseconds;

namespace {

std::string RouteLabel(const Route* route) {
    return route != nullptr ? route->path : "other";
}

// The photo's share of the pixel budget, from the headers its decoder reads, for what is done
// with it; 0 for what is not decoded at all (not a picture, or beyond the ceiling, which the
// review refuses unread).
int64_t PhotoShare(Action action, std::string_view bytes) {
    const auto info =
        SniffImage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (!info || info->DecodedPixels() > kMaxDecodedPixels) {
        return 0;
    }
    return ChargedPixels(action == Action::Correct, *info);
}

// Headers, chunk extensions and trailers must fit, with room to read the body in pieces; it
// stays below the 64 KB at which the parser can no longer store one field.
size_t BufferLimit(const ServiceLimits& l) {
    return std::min<size_t>(l.max_header_bytes + 16 * 1024, 60 * 1024);
}

// The first share of a body's memory, taken before any of it is read.
constexpr size_t kFirstShare = 64 * 1024;

Reply Handle(Action action, WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
             CheckVerdict& verdict) {
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

} // namespace

Connection::Connection(tcp::socket socket, ServiceState& state)
    : stream_(std::move(socket)), buffer_(BufferLimit(state.options.limits)), s_(state),
      body_timer_(state.io), watch_(std::make_shared<std::atomic<bool>>(false)) {
    beast::error_code ec;
    const auto endpoint = stream_.socket().remote_endpoint(ec);
    if (!ec) {
        remote_ = endpoint.address().to_string();
    }
}

Connection::~Connection() {
    --s_.connections;
    s_.metrics.Connections(-1);
    Release();
}

void Connection::Start() {
    ++s_.connections;
    s_.metrics.Connections(1);
    auto& all = s_.connected;
    if (all.size() > 2 * s_.connections + 64) { // forget the ended ones now and then
        for (auto it = all.begin(); it != all.end();) {
            it = it->expired() ? all.erase(it) : std::next(it);
        }
    }
    all.insert(weak_from_this());
    ReadHead(s_.options.limits.header_timeout);
}

bool Connection::Idle() const {
    return stage_ == Stage::Head && buffer_.size() == 0;
}

std::optional<double> Connection::SendingRate(Clock::time_point now) const {
    size_t sent = buffer_.size();
    if (stage_ == Stage::Body && stop_ == BodyStop::None && parser_) {
        sent += tally_.header_bytes + parser_->get().body().size();
    } else if (stage_ != Stage::Head) {
        return std::nullopt;
    }
    const double age = std::max(0.001, std::chrono::duration<double>(now - waiting_since_).count());
    return (static_cast<double>(sent) + 1024) / age;
}

void Connection::Evict() {
    s_.metrics.ConnectionEnded("evicted");
    if (stage_ == Stage::Body && reading_) { // told so, then closed
        stop_ = BodyStop::Evicted;
        body_timer_.cancel();
        beast::error_code ignored;
        stream_.socket().cancel(ignored);
        return;
    }
    CloseNow();
}

void Connection::CloseIfIdle() {
    if (Idle()) {
        CloseNow();
    }
}

void Connection::CloseNow() {
    stage_ = Stage::Closed;
    body_timer_.cancel();
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
}

void Connection::Cancel() {
    if (stage_ == Stage::Review) {
        watch_->store(true);
        s_.metrics.Cancelled("shutdown");
        s_.metrics.Busy("stopping");
        // Answered now; what the worker still makes of it is let go when it ends.
        Answer(StoppingReply(), true);
    } else if (stage_ == Stage::Body && reading_) {
        stop_ = BodyStop::Shutdown;
        body_timer_.cancel();
        beast::error_code ignored;
        stream_.socket().cancel(ignored);
    }
}

void Connection::ReadHead(milliseconds timeout) {
    stage_ = Stage::Head;
    waiting_since_ = Clock::now();
    route_ = nullptr;
    started_ = false;
    verdict_.clear();
    profile_.reset();
    parser_.emplace();
    LimitParser(*parser_, s_.options.limits, tally_);
    stream_.expires_after(timeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, size_t n) {
                                self->tally_.header_bytes = n;
                                self->OnHead(ec);
                            });
}

void Connection::OnHead(beast::error_code ec) {
    if (stage_ == Stage::Closed) {
        return;
    }
    const bool waited = buffer_.size() == 0; // nothing of a request came
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
    const auto& req = parser_->get();
    const std::string_view target(req.target().data(), req.target().size());
    const size_t question = target.find('?');
    path_ = std::string(target.substr(0, question));
    query_ = question == std::string_view::npos ? std::string()
                                                : std::string(target.substr(question + 1));
    method_ = std::string(req.method_string());
    head_ = req.method() == http::verb::head;
    keep_alive_ = req.keep_alive();
    if (auto refusal = CheckRequestHead(*parser_)) {
        s_.metrics.ConnectionEnded("protocol_error");
        return Answer(ErrorReply(refusal->status, refusal->message), true);
    }
    const bool has_body = parser_->content_length().value_or(0) > 0 || parser_->chunked();
    const auto match = req[http::field::if_none_match];
    Response response = Respond({method_, path_, query_, {match.data(), match.size()}}, s_.View());
    route_ = response.route;
    profile_ = response.profile;
    if (response.busy != nullptr) {
        s_.metrics.Busy(response.busy);
    }
    if (response.reply) {
        // Answered from the head alone: a body that may follow is not read.
        const bool close = has_body || response.reply->status == 503;
        return Answer(std::move(*response.reply), close);
    }
    backdrop_ = response.backdrop;
    StartBody();
}

// A request the parser could not take: too large (413, 431) or malformed (400).
void Connection::RefuseMalformed(beast::error_code ec) {
    if (ec == http::error::body_limit) {
        return Answer(ErrorReply(413, TooLarge()), true);
    }
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        return Answer(ErrorReply(431, "请求头太大"), true);
    }
    note_ = ec.message(); // for the access log
    Answer(ErrorReply(400, "请求格式错误"), true);
}

// A photo comes: refused at once when it is declared too large or there is no memory left
// for its first share, read within its deadlines otherwise (after "100 Continue" where it was
// asked for). The memory it holds is taken as it arrives.
void Connection::StartBody() {
    const ServiceLimits& l = s_.options.limits;
    const auto length = parser_->content_length();
    if (length && *length > l.max_upload_bytes) {
        return Answer(ErrorReply(413, TooLarge()), true);
    }
    const size_t expected = length ? static_cast<size_t>(*length) : l.max_upload_bytes;
    const size_t first = std::min(expected, kFirstShare);
    if (!s_.ReserveBody(first)) {
        return Busy("body_memory", true);
    }
    reserved_ = first;
    stage_ = Stage::Body;
    body_started_ = Clock::now();
    body_deadline_ = body_started_ + l.body_timeout +
                     std::chrono::seconds(expected / std::max<size_t>(1, l.body_min_rate));
    const auto& req = parser_->get();
    if (req.version() >= 11 && req.count(http::field::expect) > 0) {
        static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        stream_.expires_after(l.write_timeout);
        return net::async_write(stream_, net::buffer(kContinue), OrClose(&Connection::ReadBody));
    }
    ReadBody();
}

void Connection::ReadBody() {
    // What came so far is charged against the body memory before more is read.
    const size_t held = parser_->get().body().capacity();
    if (held > reserved_) {
        if (!s_.ReserveBody(held - reserved_)) {
            return StopBody(BodyStop::Memory);
        }
        reserved_ = held;
    }
    if (parser_->is_done()) {
        if (s_.cancelling) {
            return StopBody(BodyStop::Shutdown);
        }
        if (auto refusal = CheckTrailers(*parser_, tally_.extension_bytes, s_.options.limits)) {
            return Answer(ErrorReply(refusal->status, refusal->message), true);
        }
        return Dispatch();
    }
    const ServiceLimits& l = s_.options.limits;
    const auto now = Clock::now();
    // From the grace period on, the body must have come at the minimum rate on average.
    const auto slow_at =
        body_started_ + l.body_grace +
        milliseconds(parser_->get().body().size() * 1000 / std::max<size_t>(1, l.body_min_rate));
    if (now >= slow_at) {
        return StopBody(BodyStop::TooSlow);
    }
    if (now >= body_deadline_) {
        return StopBody(BodyStop::Total);
    }
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
    reading_ = true;
    http::async_read_some(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                              self->reading_ = false;
                              self->body_timer_.cancel();
                              self->OnBody(ec);
                          });
}

void Connection::OnBody(beast::error_code ec) {
    if (stage_ == Stage::Closed) {
        return;
    }
    if (stop_ != BodyStop::None) {
        return StopBody(stop_);
    }
    const bool ended = ec == http::error::end_of_stream || ec == http::error::partial_message;
    if (ec && !ended && ec.category() == http::make_error_code(http::error::bad_chunk).category()) {
        s_.metrics.ConnectionEnded("protocol_error"); // a malformed chunk, too large, ...
        return RefuseMalformed(ec);
    }
    if (ec) {
        note_ = "the client went away during the upload";
        return Close();
    }
    ReadBody();
}

void Connection::StopBody(BodyStop why) {
    switch (why) {
    case BodyStop::Shutdown:
        s_.metrics.Busy("stopping");
        return Answer(StoppingReply(), true);
    case BodyStop::Memory:
        return Busy("body_memory", true);
    case BodyStop::Evicted:
        return Busy("connections", true);
    case BodyStop::TooSlow:
        s_.metrics.ConnectionEnded("body_too_slow");
        return Answer(ErrorReply(408, "照片数据传输太慢，请重新上传"), true);
    default:
        s_.metrics.ConnectionEnded("body_timeout");
        return Answer(ErrorReply(408, why == BodyStop::Idle ? "照片数据传输中断，请重新上传"
                                                            : "照片数据传输太慢，请重新上传"),
                      true);
    }
}

// Queues the review of the photo in the request.
void Connection::Dispatch() {
    auto request = std::make_shared<Request>(parser_->release());
    bytes_in_ = request->body().size();
    const auto type = (*request)[http::field::content_type];
    auto found = FindUpload(std::string_view(type.data(), type.size()), request->body(), query_);
    if (const auto* refusal = std::get_if<Refusal>(&found)) {
        return Answer(ErrorReply(refusal->status, refusal->message), false);
    }
    Upload upload = std::get<Upload>(found);
    upload.backdrop = backdrop_;
    upload.profile = profile_.value_or(0);
    upload.profile_name = ProfileName(s_.options.pool, upload.profile);
    watch_ = std::make_shared<std::atomic<bool>>(false); // one per review: a late worker
    stage_ = Stage::Review;                              // never sees the next one's
    const bool submitted =
        s_.pool.TrySubmit({ReviewJob(request, upload), [weak = weak_from_this(), &io = s_.io] {
                               net::post(io, [weak] {
                                   if (auto self = weak.lock()) {
                                       self->OnReviewed(Reply(), CheckVerdict::NotJpeg, 0, true);
                                   }
                               });
                           }});
    if (!submitted) {
        return Busy("queue", false);
    }
    WatchClient();
}

// The review on a worker: within the budget of decoded pixels and the time limit, stopped
// early when the client goes or the service stops. Its answer is written on the I/O thread,
// where the last hold on the connection is also let go.
std::function<void(ServiceTools&)> Connection::ReviewJob(std::shared_ptr<Request> request,
                                                         Upload upload) {
    return [self = shared_from_this(), request, upload, action = route_->action, watch = watch_,
            queued = Clock::now()](ServiceTools& tools) mutable {
        ServiceState& s = self->s_;
        const ServiceLimits& l = s.options.limits;
        WorkLimit limit = WorkLimit::Within(l.review_timeout);
        limit.cancelled = watch.get();
        CheckVerdict verdict = CheckVerdict::NotJpeg;
        Reply reply;
        bool busy = false;
        {
            PixelShare share(s.pixels, PhotoShare(action, upload.bytes), l.pixel_budget_wait);
            if (!share.Held()) {
                busy = true;
            } else {
                try {
                    WorkerTools& profile = tools.For(upload.profile);
                    reply = s.options.handler
                                ? s.options.handler(action, profile, upload, limit, verdict)
                                : Handle(action, profile, upload, limit, verdict);
                } catch (const std::exception& e) {
                    // The applicant reads what to do; whoever runs the service reads why.
                    s.log.Event("exception", e.what());
                    reply = ErrorReply(500, "审核失败：服务内部出错，请稍后重试");
                }
            }
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - queued).count();
        request.reset();
        net::post(s.io, [self = std::move(self), watch = std::move(watch), reply = std::move(reply),
                         verdict, seconds, busy]() mutable {
            if (self->watch_ != watch || self->stage_ != Stage::Review) {
                return; // answered already (a stopping service), or gone
            }
            if (busy) {
                return self->Busy("pixel_budget", false);
            }
            self->OnReviewed(std::move(reply), verdict, seconds, false);
        });
    };
}

// While the review runs nothing is read; a client that closes its side (or resets) cancels
// it. A client that already sends its next request is left to it.
void Connection::WatchClient() {
    stream_.socket().async_wait(tcp::socket::wait_read,
                                [self = shared_from_this()](beast::error_code ec) {
                                    if (ec || self->stage_ != Stage::Review) {
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

void Connection::OnReviewed(Reply reply, CheckVerdict verdict, double seconds, bool dropped) {
    if (stage_ != Stage::Review) {
        return;
    }
    beast::error_code ignored;
    stream_.socket().cancel(ignored); // the watch on the client
    if (client_gone_) {
        s_.metrics.Cancelled("client_gone");
        note_ = "the client went away; its review was cancelled";
        return Close();
    }
    if (dropped || (s_.phase == Phase::Stopping && watch_->load())) {
        s_.metrics.Cancelled("shutdown");
        s_.metrics.Busy("stopping");
        return Answer(StoppingReply(), true);
    }
    s_.metrics.ReviewSeconds(seconds);
    if (reply.status != 500 && reply.status != 503) { // 503: the work could not be done
        s_.metrics.Verdict(ProfileName(s_.options.pool, profile_.value_or(0)), verdict);
        verdict_ = VerdictName(verdict);
    }
    Answer(std::move(reply), false);
}

void Connection::Busy(const std::string& cause, bool close) {
    s_.metrics.Busy(cause);
    Reply reply = ErrorReply(503, "服务繁忙，请稍后再试");
    reply.headers.emplace_back("Retry-After",
                               std::to_string(s_.options.limits.retry_after_seconds));
    Answer(std::move(reply), close);
}

std::string Connection::TooLarge() const {
    return "照片文件太大：超过 " + std::to_string(s_.options.limits.max_upload_bytes >> 20) + " MB";
}

void Connection::Begin() {
    started_ = true;
    request_id_ = AccessLog::NewId();
    request_start_ = Clock::now();
    bytes_in_ = 0;
    note_.clear();
    ++s_.in_flight;
    s_.metrics.InFlight(1);
}

void Connection::Release() {
    s_.body_bytes -= reserved_;
    reserved_ = 0;
    if (started_) {
        started_ = false;
        --s_.in_flight;
        s_.metrics.InFlight(-1);
    }
}

// The access log line of the request under way: status 0 where it got no answer.
void Connection::LogRequest(int status, size_t bytes_out) {
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
    if (profile_) {
        e.profile = ProfileName(s_.options.pool, *profile_);
    }
    e.note = note_;
    s_.log.Request(e);
}

// Writes the answer; close ends the connection after it (the body may not have been read).
// The body memory is given back at once: the request is done with.
void Connection::Answer(Reply reply, bool close) {
    stage_ = Stage::Write;
    body_timer_.cancel();
    s_.body_bytes -= reserved_;
    reserved_ = 0;
    auto res = std::make_shared<http::response<http::string_body>>();
    res->result(static_cast<http::status>(reply.status));
    res->version(11);
    res->set(http::field::server, "vrel-serve");
    res->set("X-Request-Id", request_id_);
    res->set("X-Content-Type-Options", "nosniff");
    res->set("Referrer-Policy", "no-referrer");
    res->set("X-Frame-Options", "DENY");
    // The page's own policy on its 304 as on its 200: a browser keeps the headers of the
    // revalidated answer with the page it has.
    const bool page = reply.content_type.rfind("text/html", 0) == 0 ||
                      (route_ != nullptr && route_->action == Action::Page && path_ == "/");
    res->set("Content-Security-Policy", SecurityPolicy(page));
    bool cache_control = false;
    for (const auto& [name, value] : reply.headers) {
        cache_control = cache_control || name == "Cache-Control";
    }
    if (!cache_control) { // records and photos are the applicant's: never kept by caches
        res->set(http::field::cache_control, "no-store");
    }
    if (!s_.options.cors_origin.empty()) {
        res->set(http::field::access_control_allow_origin, s_.options.cors_origin);
        res->set(http::field::vary, "Origin");
        res->set(
            http::field::access_control_expose_headers,
            "Content-Disposition, X-Vrel-Correction, X-Vrel-Verdict, X-Vrel-Profile, X-Request-Id, "
            "Retry-After");
    }
    if (!reply.content_type.empty()) {
        res->set(http::field::content_type, reply.content_type);
    }
    for (const auto& [name, value] : reply.headers) {
        res->set(name, value);
    }
    // While draining, clients are sent on to other instances.
    const bool keep = !close && s_.phase == Phase::Serving && keep_alive_;
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
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res, keep, close](beast::error_code ec, size_t) {
                          self->Release();
                          if (self->stage_ == Stage::Closed) {
                              return;
                          }
                          if (ec) {
                              if (ec == beast::error::timeout) {
                                  self->s_.metrics.ConnectionEnded("write_timeout");
                              }
                              return self->CloseNow();
                          }
                          if (close || self->s_.phase == Phase::Stopping) {
                              return self->Linger();
                          }
                          if (!keep) {
                              return self->Close();
                          }
                          self->kept_ = true;
                          self->ReadHead(self->s_.options.limits.keep_alive_timeout);
                      });
}

void Connection::Close() {
    LogRequest(0, 0);
    Release();
    stage_ = Stage::Closed;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
}

// After an answer that ends the connection: stops sending, and reads what the client still
// sends until it closes too (for half a second at most, less when the service is about to go),
// so that closing does not reset the connection before the client has read the answer.
void Connection::Linger() {
    stage_ = Stage::Linger;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    linger_until_ = std::min(Clock::now() + milliseconds(500), s_.exit_deadline);
    ReadToEnd();
}

void Connection::ReadToEnd() {
    const auto left = linger_until_ - Clock::now();
    if (left <= Clock::duration::zero()) {
        return CloseNow();
    }
    stream_.expires_after(left);
    stream_.async_read_some(net::buffer(scratch_), OrClose(&Connection::ReadToEnd));
}

std::function<void(beast::error_code, size_t)> Connection::OrClose(void (Connection::*next)()) {
    return [self = shared_from_this(), next](beast::error_code ec, size_t) {
        if (self->stage_ == Stage::Closed) {
            return;
        }
        if (ec) {
            return self->CloseNow();
        }
        ((*self).*next)();
    };
}

} // namespace vrel::serve
