#pragma once

#include "base/error.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vrel {

// A fixed set of threads behind a bounded queue. Each worker owns a Tools, made on its own
// thread by the owner's factory before it takes a job, so that nothing in it is shared.
//
// A job that the pool accepts gets exactly one call: run(tools) on a worker, or dropped() when it
// will not run (the pool is cancelled, a stop's deadline has passed, or a worker could not be
// set up). A job answers for itself: what escapes run() is caught, and the worker goes on.
// Stop, Cancel and the destructor join every thread; none may be called from inside a job.
template <typename Tools> class WorkerPool {
public:
    using Clock = std::chrono::steady_clock;
    // Makes one worker's tools; called on each worker's thread, several at once. It throws (an
    // ErrorThrown says why best) or returns null when it cannot.
    using Factory = std::function<std::unique_ptr<Tools>()>;

    struct Job {
        std::function<void(Tools&)> run;
        std::function<void()> dropped; // may be empty
    };

    WorkerPool(int workers, size_t queue, Factory factory)
        : capacity_(std::max<size_t>(1, queue)), workers_(std::max(1, workers)),
          factory_(std::move(factory)) {
        try {
            for (int i = 0; i < workers_; ++i) {
                threads_.emplace_back([this] { Work(); });
            }
        } catch (...) {
            Cancel(); // the threads that did start are joined
            throw;
        }
    }
    ~WorkerPool() { Cancel(); }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Waits until every worker has its tools; no error then, or else why one could not make
    // them (the pool has then dropped the jobs it held, and takes no more).
    Error WaitUntilReady() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return ready_ == workers_ || bool(failure_); });
        return failure_;
    }

    // False when the queue is full or the pool is stopping; the job is then not taken.
    bool TrySubmit(Job job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_ || jobs_.size() >= capacity_) {
                return false;
            }
            jobs_.push_back(std::move(job));
        }
        changed_.notify_all();
        return true;
    }

    // Waits for room in the queue; false when the pool is stopping.
    bool Submit(Job job) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || jobs_.size() < capacity_; });
            if (stopping_) {
                return false;
            }
            jobs_.push_back(std::move(job));
        }
        changed_.notify_all();
        return true;
    }

    size_t QueueDepth() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return jobs_.size();
    }
    size_t Capacity() const { return capacity_; }

    // Takes every job that has not started out of the queue and calls its dropped(); the pool
    // goes on taking jobs.
    void DropQueued() {
        std::deque<Job> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dropped.swap(jobs_);
        }
        changed_.notify_all();
        Drop(dropped);
    }

    // Takes no more jobs and runs what is queued; what has not started by the deadline is
    // dropped. Returns when the jobs under way have ended and the threads are joined.
    void Stop(Clock::time_point deadline = Clock::time_point::max()) {
        std::deque<Job> dropped;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            stopping_ = true;
            deadline_ = std::min(deadline_, deadline);
            changed_.notify_all();
            if (deadline_ != Clock::time_point::max()) {
                if (Clock::now() < deadline_) {
                    changed_.wait_until(lock, deadline_, [&] { return jobs_.empty(); });
                }
                dropped.swap(jobs_);
            }
        }
        Drop(dropped);
        std::lock_guard<std::mutex> lock(join_mutex_);
        for (std::thread& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

    // Drops what is queued, lets the jobs under way end, and joins the threads.
    void Cancel() { Stop(Clock::time_point::min()); }

    // Takes no more jobs and drops what is queued; waits until deadline for the jobs under way
    // to end. Returns how many had not (0: every thread is joined). Those left running are
    // joined by Stop, Cancel or the destructor, or end with the process.
    size_t StopBy(Clock::time_point deadline) {
        std::deque<Job> dropped;
        size_t running = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            stopping_ = true;
            deadline_ = Clock::time_point::min();
            dropped.swap(jobs_);
            changed_.notify_all();
            changed_.wait_until(lock, deadline, [&] { return running_ == 0; });
            running = running_;
        }
        Drop(dropped);
        if (running == 0) {
            Stop();
        }
        return running;
    }

private:
    void Work() {
        std::unique_ptr<Tools> tools;
        Error failure;
        try {
            tools = factory_();
        } catch (const ErrorThrown& e) {
            failure = e.Get();
        } catch (const std::exception& e) {
            failure = {ErrorCode::Invalid, e.what()};
        } catch (...) {
        }
        if (!tools) {
            return Fail(failure ? failure
                                : Error(ErrorCode::Invalid, "a worker's tools could not be made"));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++ready_;
        }
        changed_.notify_all();
        for (;;) {
            Job job;
            bool run = false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) {
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
                run = Clock::now() < deadline_;
                running_ += run ? 1 : 0;
            }
            changed_.notify_all(); // room for a waiting Submit; an empty queue for Stop
            if (run) {
                try {
                    job.run(*tools);
                } catch (...) {
                }
                job = Job(); // what the job holds goes before it counts as ended
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    --running_;
                }
                changed_.notify_all();
            } else {
                Drop(job);
            }
        }
    }

    // A worker without its tools: the pool takes no more jobs and drops those it holds, then
    // tells why.
    void Fail(const Error& failure) {
        std::deque<Job> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            deadline_ = Clock::time_point::min();
            dropped.swap(jobs_);
        }
        changed_.notify_all();
        Drop(dropped);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!failure_) {
                failure_ = failure;
            }
        }
        changed_.notify_all();
    }

    static void Drop(Job& job) {
        if (job.dropped) {
            try {
                job.dropped();
            } catch (...) {
            }
        }
    }
    static void Drop(std::deque<Job>& jobs) {
        for (Job& job : jobs) {
            Drop(job);
        }
    }

    const size_t capacity_;
    const int workers_;
    const Factory factory_;
    mutable std::mutex mutex_;
    // Every change of the queue or the pool's state: few threads wait, so all are woken.
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    Clock::time_point deadline_ = Clock::time_point::max(); // jobs taken after it are dropped
    int ready_ = 0;                                         // workers with their tools
    size_t running_ = 0;                                    // jobs under way
    Error failure_;
    std::mutex join_mutex_;
    std::vector<std::thread> threads_;
};

} // namespace vrel
