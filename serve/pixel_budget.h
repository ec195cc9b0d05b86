#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vrel::serve {

// The decoded pixels that the workers may hold at once. A worker takes its photo's share before
// it decodes, waiting a bounded time for others to give theirs back; it never overruns.
class PixelBudget {
public:
    explicit PixelBudget(int64_t capacity) : capacity_(capacity) {}

    // Takes pixels (at most the capacity); false when they did not come free within wait.
    bool Take(int64_t pixels, std::chrono::milliseconds wait) {
        pixels = std::min(pixels, capacity_);
        std::unique_lock<std::mutex> lock(mutex_);
        const bool got = freed_.wait_for(lock, wait, [&] { return used_ + pixels <= capacity_; });
        if (got) {
            used_ += pixels;
        }
        return got;
    }
    void Give(int64_t pixels) {
        pixels = std::min(pixels, capacity_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            used_ -= pixels;
        }
        freed_.notify_all();
    }
    int64_t Used() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return used_;
    }
    int64_t Capacity() const { return capacity_; }

private:
    const int64_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    int64_t used_ = 0;
};

// A share of the budget, given back when it goes out of scope.
class PixelShare {
public:
    PixelShare(PixelBudget& budget, int64_t pixels, std::chrono::milliseconds wait)
        : budget_(budget), pixels_(pixels), held_(budget.Take(pixels, wait)) {}
    ~PixelShare() {
        if (held_) {
            budget_.Give(pixels_);
        }
    }
    PixelShare(const PixelShare&) = delete;
    PixelShare& operator=(const PixelShare&) = delete;
    bool Held() const { return held_; }

private:
    PixelBudget& budget_;
    int64_t pixels_;
    bool held_;
};

} // namespace vrel::serve
