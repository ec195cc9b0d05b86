#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vrel::serve {

// Every limit and timeout of the service, in one place. The defaults suit a public upload form
// (each one is an option of vrel-serve); tests shorten the timeouts.
struct ServiceLimits {
    // Largest request body; a larger one is refused (413) before it is read.
    size_t max_upload_bytes = size_t{20} << 20;
    // Request line and headers, chunk extensions and trailers together: at most this many bytes
    // (431 past it). The request line and headers must come within header_timeout of the first
    // byte (a client sending one byte a second is cut off, whatever it sends).
    size_t max_header_bytes = 16 * 1024;
    std::chrono::milliseconds header_timeout{10'000};
    // The body: no pause longer than body_idle_timeout; all of it within body_timeout plus the
    // time its length takes at body_min_rate bytes a second; and, from body_grace on, at least
    // body_min_rate bytes a second on average, so that a trickling upload frees its memory soon.
    std::chrono::milliseconds body_idle_timeout{15'000};
    std::chrono::milliseconds body_timeout{30'000};
    std::chrono::milliseconds body_grace{10'000};
    size_t body_min_rate = 16 * 1024;
    // Writing a response, and waiting for the next request on a kept connection.
    std::chrono::milliseconds write_timeout{30'000};
    std::chrono::milliseconds keep_alive_timeout{15'000};
    // Connections open at once. At the limit, the connection that has waited longest for its
    // next request is closed to make room, so that probes and new clients always get in; when
    // none waits, the new one is closed.
    size_t max_connections = 1024;
    // Bodies held in memory at once (being read, waiting or under review); a request that would
    // pass it gets 503. 0: (jobs + queue + 4) times max_upload_bytes.
    size_t body_memory_budget = 0;
    // The memory of the photos under review at once, over every worker, in pixels of 10 bytes:
    // each photo takes its decoded pixels scaled by what its route and format hold at their peak
    // (ChargedPixels: a JPEG 7 bytes a pixel, a PNG or WebP correction 10). A review waits up
    // to pixel_budget_wait for its share, then gets 503. One photo never takes more than all of
    // it, so the largest that is decoded at all (64 million pixels) always gets its turn.
    int64_t pixel_budget = int64_t{64} * 1000 * 1000;
    std::chrono::milliseconds pixel_budget_wait{5'000};
    // The longest one review or correction may work; then it ends as undecodable.
    std::chrono::milliseconds review_timeout{30'000};
    // After SIGTERM: how long the service goes on answering (with /readyz at 503) before it
    // drops what is queued, cancels what is under way and exits. After SIGINT or Stop(), how
    // long requests under way may take to finish.
    std::chrono::milliseconds drain_timeout{10'000};
    // Reviews waiting for a worker; more get 503 with Retry-After.
    size_t queue = 16;
    int retry_after_seconds = 1;
};

} // namespace vrel::serve
