#pragma once

#include "check/check_run.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace vrel::serve {

// What the service counts, shown at /metrics in Prometheus' text format.
class Metrics {
public:
    void Request(const std::string& route, int status);
    void Verdict(std::string_view profile, CheckVerdict verdict);
    void ReviewSeconds(double seconds);
    void InFlight(int delta) { in_flight_ += delta; }
    void Connections(int delta) { connections_ += delta; }
    // A connection ended by the service, by why: "refused" (at the connection limit, none
    // reading), "evicted" (the one that sent least for its age, closed to make room),
    // "header_timeout", "body_timeout",
    // "body_too_slow", "keep_alive_timeout", "write_timeout", "protocol_error".
    void ConnectionEnded(const std::string& why);
    // A request answered 503, by cause: "queue", "body_memory", "pixel_budget", "stopping",
    // "connections" (a photo being read when its connection was evicted).
    void Busy(const std::string& cause);
    // A review stopped before its end, by why: "client_gone", "deadline", "shutdown".
    void Cancelled(const std::string& why);
    int64_t InFlightNow() const { return in_flight_.load(); }
    // The text of /metrics; queue_depth and the log lines dropped are read when it is asked
    // for.
    std::string Text(size_t queue_depth, uint64_t log_lines_dropped = 0) const;

    static constexpr std::array<double, 11> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                        0.5,   1,    2.5,   5,    10};

private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, int>, uint64_t> requests_;
    std::map<std::pair<std::string, CheckVerdict>, uint64_t> verdicts_; // by profile
    std::array<uint64_t, kBuckets.size()> buckets_{};
    uint64_t reviews_ = 0;
    double review_seconds_ = 0;
    std::map<std::string, uint64_t> ended_, busy_, cancelled_;
    std::atomic<int64_t> in_flight_{0};
    std::atomic<int64_t> connections_{0};
};

} // namespace vrel::serve
