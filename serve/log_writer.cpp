#include "serve/log_writer.h"

#ifndef _WIN32
#include <limits.h>
#include <poll.h>
#include <unistd.h>
#else
#include <io.h>
#endif

#include <algorithm>
#include <cerrno>

namespace vrel::serve {
namespace {

// How long the writer waits on the descriptor before it looks at the time again.
constexpr int kPollMilliseconds = 100;
// What is left to write at the end is given this long.
constexpr std::chrono::seconds kLastWrites{1};

} // namespace

LogWriter::LogWriter(int fd, size_t max_queued)
    : fd_(fd), max_queued_(max_queued), thread_([this] { Run(); }) {}

LogWriter::~LogWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        stop_by_ = std::chrono::steady_clock::now() + kLastWrites;
    }
    changed_.notify_all();
    thread_.join();
}

void LogWriter::Write(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++accepted_;
        if (stopping_ || queued_bytes_ + line.size() + 1 > max_queued_) {
            ++dropped_;
            ++done_;
            return;
        }
        queue_.push_back(line + '\n');
        queued_bytes_ += queue_.back().size();
    }
    changed_.notify_all();
}

uint64_t LogWriter::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

bool LogWriter::Flush(std::chrono::milliseconds within) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t target = accepted_;
    return changed_.wait_for(lock, within, [&] { return done_ >= target; });
}

void LogWriter::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return; // stopping, with everything written
        }
        if (stopping_ && std::chrono::steady_clock::now() >= stop_by_) {
            // Past the end's deadline: what is left is dropped at once, not line by line.
            dropped_ += queue_.size();
            done_ += queue_.size();
            queue_.clear();
            queued_bytes_ = 0;
            changed_.notify_all();
            return;
        }
        std::string line = std::move(queue_.front());
        queue_.pop_front();
        queued_bytes_ -= line.size();
        lock.unlock();
        const bool written = WriteOut(line);
        lock.lock();
        if (!written) {
            ++dropped_;
        }
        ++done_;
        changed_.notify_all();
    }
}

bool LogWriter::WriteOut(const std::string& line) {
    size_t at = 0;
    while (at < line.size()) {
#ifndef _WIN32
        // Wait until the descriptor takes more (a pipe: at least PIPE_BUF bytes), looking at
        // the end's deadline in between.
        pollfd ready{fd_, POLLOUT, 0};
        const int n = poll(&ready, 1, kPollMilliseconds);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        if (n <= 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_ && std::chrono::steady_clock::now() >= stop_by_) {
                return false;
            }
            continue;
        }
        if (ready.revents & (POLLERR | POLLNVAL)) {
            return false;
        }
        // At most a pipe's atomic share at once, which a ready pipe takes without waiting.
        const size_t share = std::min<size_t>(line.size() - at, PIPE_BUF);
        const ssize_t wrote = ::write(fd_, line.data() + at, share);
#else
        const int wrote = _write(fd_, line.data() + at, static_cast<unsigned>(line.size() - at));
#endif
        if (wrote < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false; // the reader is gone (EPIPE, with SIGPIPE ignored), or worse
        }
        at += static_cast<size_t>(wrote);
    }
    return true;
}

} // namespace vrel::serve
