#pragma once

#include "serve/limits.h"
#include "serve/metrics.h"
#include "serve/review_pool.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vrel::serve {

struct ServiceOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8080;    // 0: any free port (Port() tells which)
    std::string cors_origin; // empty: no cross-origin answers
    ServiceLimits limits;
    PoolOptions pool;
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

    // Binds the address; false with the reason in error when it cannot.
    bool Listen(std::string& error);
    uint16_t Port() const;
    // Serves until Stop() (or SIGTERM/SIGINT when handle_signals), then lets the requests under
    // way finish, within the drain timeout, and returns.
    void Run(bool handle_signals);
    // Stops taking requests; callable from any thread.
    void Stop();

    Metrics& Counters();

    struct State; // the connections' shared state, inside the service's own source

private:
    std::shared_ptr<State> state_;
};

} // namespace vrel::serve
