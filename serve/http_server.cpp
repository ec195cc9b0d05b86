#include "serve/http_server.h"

#include "serve/connection.h"
#include "serve/listener.h"
#include "serve/service_state.h"

#include <boost/asio.hpp>

#include <cstdio>

namespace vrel::serve {

namespace net = boost::asio;
using std::chrono::milliseconds;

namespace {

// Past the stop's deadline: the answers of what was cancelled are written, and the process goes
// this long after the deadline at the latest, whatever runs.
constexpr milliseconds kAnswersWithin{800};
constexpr milliseconds kExitWithin{950};

} // namespace

// The service's shared state, its listener, and the way it stops.
struct HttpService::State : ServiceState {
    explicit State(ServiceOptions o)
        : ServiceState(std::move(o)), listener(*this), signals(io), stop_timer(io) {}

    Listener listener;
    net::signal_set signals;
    net::steady_timer stop_timer;

    void BeginDrain();
    void BeginStop(milliseconds finish_within);
    void CheckStopped();
    void CancelUnderWay();
    bool Answering() const;
};

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
    stop_timer.async_wait([this](boost::system::error_code ec) {
        if (!ec) {
            BeginStop(milliseconds(0));
        }
    });
}

// Takes nothing new; requests under way get finish_within to end, then what is queued or
// runs is answered 503 (and cancelled), and the process goes within a second. Called again
// (a second signal), it keeps the earlier deadline.
void HttpService::State::BeginStop(milliseconds finish_within) {
    const auto deadline = Clock::now() + finish_within;
    if (phase == Phase::Stopping && deadline >= stop_deadline) {
        return;
    }
    const bool first = phase != Phase::Stopping;
    phase = Phase::Stopping;
    stop_deadline = deadline;
    exit_deadline = deadline + kExitWithin;
    listener.Close();
    if (finish_within.count() == 0) {
        CancelUnderWay();
    }
    if (first) {
        stop_timer.cancel();
        CheckStopped();
    }
}

void HttpService::State::CancelUnderWay() {
    cancelling = true;
    pool.DropQueued();
    for (const auto& weak : connected) {
        if (auto connection = weak.lock()) {
            connection->Cancel();
        }
    }
}

// A request is under way, or an answer is still on its way out.
bool HttpService::State::Answering() const {
    if (in_flight > 0) {
        return true;
    }
    for (const auto& weak : connected) {
        if (auto connection = weak.lock();
            connection && connection->Current() == Connection::Stage::Linger) {
            return true;
        }
    }
    return false;
}

// Every 20 ms until the last request is answered and its answer is out, or, past the
// deadline, until the cancelled ones are (for a moment at most).
void HttpService::State::CheckStopped() {
    for (const auto& weak : connected) {
        if (auto connection = weak.lock()) {
            connection->CloseIfIdle();
        }
    }
    const auto now = Clock::now();
    if (!Answering() || now >= stop_deadline + kAnswersWithin) {
        io.stop();
        return;
    }
    if (now >= stop_deadline && !cancelling) {
        CancelUnderWay();
    }
    stop_timer.expires_after(milliseconds(20));
    stop_timer.async_wait([this](boost::system::error_code ec) {
        if (!ec) {
            CheckStopped();
        }
    });
}

HttpService::HttpService(ServiceOptions options)
    : state_(std::make_shared<State>(std::move(options))) {}

HttpService::~HttpService() {
    State& s = *state_;
    s.pool.Stop();
    // What the workers posted at their end runs while everything it uses is still there.
    s.io.restart();
    s.io.poll();
}

Error HttpService::Listen() {
    State& s = *state_;
    if (const Error failure = s.pool.WaitUntilReady()) {
        return {failure.Code(), "the review workers could not start: " + failure.Detail()};
    }
    return s.listener.Open(s.options.address, s.options.port);
}

uint16_t HttpService::Port() const {
    return state_->listener.Port();
}

size_t HttpService::Run(bool handle_signals) {
    State& s = *state_;
    if (handle_signals) {
        s.signals.add(SIGTERM);
        s.signals.add(SIGINT);
#ifdef SIGHUP
        // A closed terminal, or a supervisor's reload: drained like SIGTERM, so that what runs
        // is answered.
        s.signals.add(SIGHUP);
#endif
        s.signals.async_wait([&s](boost::system::error_code ec, int signal) {
            if (ec) {
                return;
            }
            if (signal != SIGINT) {
                s.BeginDrain();
            } else {
                s.BeginStop(s.options.limits.drain_timeout);
            }
            // A second signal stops at once.
            s.signals.async_wait([&s](boost::system::error_code again, int) {
                if (!again) {
                    s.BeginStop(milliseconds(0));
                }
            });
        });
    }
    s.listener.Accept();
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
    boost::system::error_code ignored;
    s.signals.cancel(ignored);
    // The workers get until the exit's deadline to end what they still run (it was cancelled);
    // what does not end by then is left to the process's exit.
    const size_t abandoned = s.pool.StopBy(std::min(s.exit_deadline, Clock::now() + kExitWithin));
    for (const auto& weak : s.connected) {
        if (auto connection = weak.lock()) {
            connection->CloseNow();
        }
    }
    s.io.restart();
    s.io.poll();
    return abandoned;
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
