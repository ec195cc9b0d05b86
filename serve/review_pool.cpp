#include "serve/review_pool.h"

namespace vrel::serve {

ReviewPool::ReviewPool(PoolOptions options) : options_(std::move(options)) {
    for (int i = 0; i < std::max(1, options_.jobs); ++i) {
        workers_.emplace_back([this] { Work(); });
    }
}

ReviewPool::~ReviewPool() {
    Stop();
}

bool ReviewPool::TrySubmit(Task task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || tasks_.size() >= options_.queue) {
            return false;
        }
        tasks_.push_back(std::move(task));
    }
    ready_.notify_one();
    return true;
}

size_t ReviewPool::QueueDepth() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tasks_.size();
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
        worker.join();
    }
    workers_.clear();
}

void ReviewPool::Work() {
    WorkerTools tools(options_.settings, options_.data_dir, options_.review);
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        try {
            task(tools);
        } catch (...) {
            // A task answers its own request, failures included; nothing may end the worker.
        }
    }
}

} // namespace vrel::serve
