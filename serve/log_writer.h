#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace vrel::serve {

// Writes log lines to a file descriptor (standard error in vrel-serve) from a thread of its
// own, so that a reader that stalls or goes away never holds up the service: a line that finds
// the queue full, or that cannot be written, is dropped and counted.
class LogWriter {
public:
    // max_queued: the bytes of lines waiting to be written, at most.
    explicit LogWriter(int fd, size_t max_queued = size_t{1} << 20);
    // Writes what is queued for at most a second more; the rest is dropped.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Queues the line (a newline is added); never waits for the descriptor.
    void Write(const std::string& line);
    // The lines dropped so far.
    uint64_t Dropped() const;
    // Waits until every line queued before the call is written or dropped, or until within
    // has passed; false then.
    bool Flush(std::chrono::milliseconds within);

private:
    void Run();
    // Writes one line; false where the descriptor refused it or stop_by passed first.
    bool WriteOut(const std::string& line);

    const int fd_;
    const size_t max_queued_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    size_t queued_bytes_ = 0;
    uint64_t dropped_ = 0;
    uint64_t accepted_ = 0, done_ = 0; // lines queued and lines written or dropped
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stop_by_;
    std::thread thread_;
};

} // namespace vrel::serve
