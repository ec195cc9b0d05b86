#pragma once

#include "serve/access_log.h"
#include "serve/handlers.h"
#include "serve/limits.h"
#include "serve/metrics.h"
#include "serve/review_pool.h"
#include "serve/routes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vrel::serve {

// What answers a photo route on a worker: the review, save, annotate or correct reply, within
// the limit. The service's own is used unless another is given (tests give one they control).
using PhotoHandler =
    std::function<Reply(Action, WorkerTools&, const Upload&, const WorkLimit&, CheckVerdict&)>;

struct ServiceOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8080;    // 0: any free port (Port() tells which)
    std::string cors_origin; // empty: no cross-origin answers
    ServiceLimits limits;
    PoolOptions pool;
    LogFormat log_format = LogFormat::Json;
    bool quiet = false;  // no access log lines; start-up and shutdown lines still come
    AccessLog::Sink log; // where log lines go (none: nowhere)
    // The log lines dropped so far because their reader stalled (none: not counted).
    std::function<uint64_t()> log_dropped;
    PhotoHandler handler; // none: the service's own
};

// The HTTP service: one thread does all the reading and writing of every connection, with a
// deadline on each step, and hands each photo to the review pool. Handlers only parse, call the
// core and format.
class HttpService {
public:
    explicit HttpService(ServiceOptions options);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Waits for the review workers to be set up, then binds the address; the error says why
    // when either cannot be done.
    Error Listen();
    uint16_t Port() const;
    // Serves until it is stopped: by Stop() or SIGINT (requests under way finish within the
    // drain timeout), or by Drain(), SIGTERM or SIGHUP (it goes on answering for the drain
    // timeout with /readyz at 503). Then what is queued or under way is answered 503 and
    // cancelled; a second signal does that at once.
    // Returns once every connection is answered or closed, at the latest a second after the
    // stop's deadline: the number of reviews that were still running then (cancelled, but in
    // work that could not be stopped; the process should exit without waiting for them).
    size_t Run(bool handle_signals);
    // Both callable from any thread.
    void Stop();
    void Drain();

    Metrics& Counters();

    struct State; // the connections' shared state, inside the service's own source

private:
    std::shared_ptr<State> state_;
};

} // namespace vrel::serve
