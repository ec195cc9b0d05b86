#pragma once

#include <chrono>
#include <cstddef>

namespace vrel::serve {

// Every limit and timeout of the service, in one place. The defaults suit a public upload form;
// tests shorten the timeouts.
struct ServiceLimits {
    // Largest request body; a larger one is refused (413) before it is read.
    size_t max_upload_bytes = size_t{20} << 20;
    // Request line and headers: at most this many bytes, all of them within header_timeout of
    // the first (a client sending one byte a second is cut off, whatever it sends).
    size_t max_header_bytes = 16 * 1024;
    std::chrono::milliseconds header_timeout{10'000};
    // The body: no pause longer than body_idle_timeout, and all of it within body_timeout plus
    // the time its length takes at body_min_rate bytes a second.
    std::chrono::milliseconds body_idle_timeout{15'000};
    std::chrono::milliseconds body_timeout{30'000};
    size_t body_min_rate = 16 * 1024;
    // Writing a response, and waiting for the next request on a kept connection.
    std::chrono::milliseconds write_timeout{30'000};
    std::chrono::milliseconds keep_alive_timeout{15'000};
    // Connections open at once; more are closed as they come.
    size_t max_connections = 1024;
    // Bodies held in memory at once (being read, waiting or under review); a request that would
    // pass it gets 503. 0: (jobs + queue + 4) times max_upload_bytes.
    size_t body_memory_budget = 0;
    // After SIGTERM: how long requests under way may take to finish.
    std::chrono::milliseconds drain_timeout{10'000};
    // Reviews waiting for a worker; more get 503 with Retry-After.
    size_t queue = 16;
    int retry_after_seconds = 1;
};

} // namespace vrel::serve
