#pragma once

#include "correct/image_input.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vrel::serve {

// The bytes a photo holds at its peak per decoded pixel, by what is done with it, as measured
// (bench/vrel_bench_memory on a 4800 x 6400 photo: a JPEG's review 3.4, its correction 3.8; a
// correction of a PNG 8.0, of a WebP 7.3, of a TIFF or a BMP 3.8), with room for a JPEG
// turned upright by its orientation, which holds one more copy of 3 bytes a pixel. A review
// decodes only JPEGs: anything else is refused at its signature, unread.
inline int64_t PeakBytesPerPixel(bool correction, ImageFormat format) {
    switch (format) {
    case ImageFormat::Jpeg:
        return 7;
    case ImageFormat::Png:
    case ImageFormat::Webp:
        return correction ? 10 : 0;
    case ImageFormat::Tiff:
    case ImageFormat::Bmp:
        return correction ? 7 : 0;
    }
    return 10;
}

// The budget counts pixels of this many bytes: a photo's share is its decoded pixels scaled
// by what it holds per pixel.
inline constexpr int64_t kBudgetBytesPerPixel = 10;

inline int64_t ChargedPixels(bool correction, const ImageInfo& info) {
    return info.DecodedPixels() * PeakBytesPerPixel(correction, info.format) / kBudgetBytesPerPixel;
}

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
