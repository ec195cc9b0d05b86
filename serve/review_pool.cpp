#include "serve/review_pool.h"

#include <optional>

namespace vrel::serve {

ReviewPool::ReviewPool(PoolOptions options) : options_(std::move(options)) {
    try {
        for (int i = 0; i < std::max(1, options_.jobs); ++i) {
            workers_.emplace_back([this] { Work(); });
        }
    } catch (...) {
        Stop(); // the workers that did start are joined
        throw;
    }
}

ReviewPool::~ReviewPool() {
    Stop();
}

bool ReviewPool::TrySubmit(Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || jobs_.size() >= options_.queue) {
            return false;
        }
        jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
    return true;
}

size_t ReviewPool::QueueDepth() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.size();
}

void ReviewPool::DropQueued() {
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(jobs_);
    }
    for (Job& job : dropped) {
        if (job.dropped) {
            job.dropped();
        }
    }
}

void ReviewPool::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ && workers_.empty()) {
            return;
        }
        stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& worker : workers_) {
        if (worker.joinable()) {
            worker.join();
        }
    }
    workers_.clear();
}

void ReviewPool::Work() {
    // A worker whose tools cannot be built drops its jobs rather than ending the process.
    std::optional<WorkerTools> tools;
    try {
        tools.emplace(options_.settings, options_.data_dir, options_.review, options_.backdrop);
    } catch (...) {
    }
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            if (tools) {
                job.run(*tools);
            } else if (job.dropped) {
                job.dropped();
            }
        } catch (...) {
            // A job answers its own request, failures included; nothing may end the worker.
        }
    }
}

} // namespace vrel::serve
