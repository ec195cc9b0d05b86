#include "serve/metrics.h"

#include <sstream>

namespace vrel::serve {

void Metrics::Request(const std::string& route, int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_[{route, status}];
}

void Metrics::Verdict(std::string_view profile, CheckVerdict verdict) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++verdicts_[{std::string(profile), verdict}];
}

void Metrics::ConnectionEnded(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++ended_[why];
}

void Metrics::Busy(const std::string& cause) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++busy_[cause];
}

void Metrics::Cancelled(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++cancelled_[why];
}

void Metrics::ReviewSeconds(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) {
            ++buckets_[i];
        }
    }
    ++reviews_;
    review_seconds_ += seconds;
}

std::string Metrics::Text(size_t queue_depth, uint64_t log_lines_dropped) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    out << "# HELP vrel_requests_total HTTP requests answered, by route and status.\n"
           "# TYPE vrel_requests_total counter\n";
    for (const auto& [key, count] : requests_) {
        out << "vrel_requests_total{route=\"" << key.first << "\",status=\"" << key.second << "\"} "
            << count << "\n";
    }
    out << "# HELP vrel_verdicts_total Reviews, by verdict and profile.\n"
           "# TYPE vrel_verdicts_total counter\n";
    for (const auto& [key, count] : verdicts_) {
        out << "vrel_verdicts_total{verdict=\"" << VerdictName(key.second) << "\",profile=\""
            << key.first << "\"} " << count << "\n";
    }
    out << "# HELP vrel_review_seconds Time of one review, from the body to the answer.\n"
           "# TYPE vrel_review_seconds histogram\n";
    for (size_t i = 0; i < kBuckets.size(); ++i) {
        out << "vrel_review_seconds_bucket{le=\"" << kBuckets[i] << "\"} " << buckets_[i] << "\n";
    }
    out << "vrel_review_seconds_bucket{le=\"+Inf\"} " << reviews_ << "\n"
        << "vrel_review_seconds_sum " << review_seconds_ << "\n"
        << "vrel_review_seconds_count " << reviews_ << "\n";
    out << "# HELP vrel_queue_depth Reviews waiting for a worker.\n"
           "# TYPE vrel_queue_depth gauge\n"
        << "vrel_queue_depth " << queue_depth << "\n";
    out << "# HELP vrel_requests_in_flight Requests being read, reviewed or answered.\n"
           "# TYPE vrel_requests_in_flight gauge\n"
        << "vrel_requests_in_flight " << in_flight_.load() << "\n";
    out << "# HELP vrel_connections_open Connections open now.\n"
           "# TYPE vrel_connections_open gauge\n"
        << "vrel_connections_open " << connections_.load() << "\n";
    out << "# HELP vrel_log_lines_dropped_total Log lines dropped because standard error did not "
           "take them.\n"
           "# TYPE vrel_log_lines_dropped_total counter\n"
        << "vrel_log_lines_dropped_total " << log_lines_dropped << "\n";
    const auto counter = [&out](const char* name, const char* label, const char* help,
                                const std::map<std::string, uint64_t>& counts) {
        out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << " counter\n";
        for (const auto& [key, count] : counts) {
            out << name << '{' << label << "=\"" << key << "\"} " << count << "\n";
        }
    };
    counter("vrel_connections_ended_total", "reason",
            "Connections ended by the service: refused, evicted, timed out, malformed.", ended_);
    counter("vrel_busy_total", "cause", "Requests answered 503, by cause.", busy_);
    counter("vrel_reviews_cancelled_total", "reason",
            "Reviews stopped before their end, by reason.", cancelled_);
    return out.str();
}

} // namespace vrel::serve
