#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>

namespace vrel {

// How long one piece of work (a review, a correction) may go on, and a flag that another thread
// raises to stop it early (a client that went away, a service that stops). The work looks at it
// between its steps and while it decodes; a stopped piece of work ends as a photo that could not
// be decoded.
struct WorkLimit {
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::time_point::max();
    const std::atomic<bool>* cancelled = nullptr;

    // A limit that ends `within` from now.
    static WorkLimit Within(std::chrono::milliseconds within) {
        WorkLimit limit;
        if (within.count() > 0) {
            limit.deadline = Clock::now() + within;
        }
        return limit;
    }
    // The tighter of this limit and a time limit starting now (none when within is 0).
    WorkLimit Tightened(std::chrono::milliseconds within) const {
        WorkLimit limit = *this;
        if (within.count() > 0) {
            limit.deadline = std::min(deadline, Clock::now() + within);
        }
        return limit;
    }
    // Why the work must stop now; nullptr while it may go on.
    const char* Stopped() const {
        if (cancelled != nullptr && cancelled->load(std::memory_order_relaxed)) {
            return "the review was cancelled";
        }
        if (deadline != Clock::time_point::max() && Clock::now() >= deadline) {
            return "the review took longer than its time limit";
        }
        return nullptr;
    }
};

} // namespace vrel
