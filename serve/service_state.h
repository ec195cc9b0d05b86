#pragma once
// What the listener, the connections and the service's stop share; inside the service only.
#include "serve/http_server.h"
#include "serve/pixel_budget.h"
#include "serve/respond.h"

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>

namespace vrel::serve {

using Clock = std::chrono::steady_clock;
class Connection;

struct ServiceState {
    explicit ServiceState(ServiceOptions o)
        : options(std::move(o)), pool(options.pool), pixels(options.limits.pixel_budget),
          log(options.log_format, options.quiet, options.log) {
        ServiceLimits& l = options.limits;
        if (l.body_memory_budget == 0) {
            l.body_memory_budget =
                (static_cast<size_t>(std::max(1, options.pool.jobs)) + l.queue + 4) *
                l.max_upload_bytes;
        }
    }

    ServiceOptions options;
    boost::asio::io_context io;
    ReviewPool pool;
    PixelBudget pixels;
    Metrics metrics;
    AccessLog log;
    Phase phase = Phase::Serving;
    bool cancelling = false; // past the stop's deadline: what is under way is cancelled
    // When what is under way is cancelled and answered, and when the service is gone whatever
    // still runs (a second later).
    Clock::time_point stop_deadline = Clock::time_point::max();
    Clock::time_point exit_deadline = Clock::time_point::max();
    // Counted on the I/O thread, but a connection may end on a worker thread that held it last.
    std::atomic<size_t> connections{0};
    std::atomic<size_t> in_flight{0};  // requests from their headers to their answer
    std::atomic<size_t> body_bytes{0}; // memory held for request bodies
    // Every connection, for the stop and the evictions (the ended ones are forgotten now and
    // then). Used on the I/O thread only.
    std::set<std::weak_ptr<Connection>, std::owner_less<std::weak_ptr<Connection>>> connected;

    // Takes bytes of the body memory; false (and nothing taken) where they would pass it.
    bool ReserveBody(size_t bytes) {
        size_t held = body_bytes.load();
        do {
            if (held + bytes > options.limits.body_memory_budget) {
                return false;
            }
        } while (!body_bytes.compare_exchange_weak(held, held + bytes));
        return true;
    }

    // No room for one more photo of the largest size: /readyz answers 503.
    bool Saturated() const {
        const ServiceLimits& l = options.limits;
        return pool.QueueDepth() >= pool.Capacity() ||
               body_bytes.load() + l.max_upload_bytes > l.body_memory_budget ||
               pixels.Used() >= pixels.Capacity();
    }

    ServiceView View() const {
        ServiceView view;
        view.phase = phase;
        view.pool = &options.pool;
        view.cors = !options.cors_origin.empty();
        view.saturated = [this] { return Saturated(); };
        view.metrics = [this] {
            return metrics.Text(pool.QueueDepth(), options.log_dropped ? options.log_dropped() : 0);
        };
        return view;
    }
};

} // namespace vrel::serve
