#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vrel::serve {

enum class LogFormat { Json, Text };

// One answered request, as the access log shows it.
struct AccessEntry {
    std::string id;     // also sent back as X-Request-Id
    std::string remote; // the client's address
    std::string method;
    std::string path;  // as requested, without the query
    std::string route; // the route's pattern, or "other"
    int status = 0;    // 0: no answer (the connection was closed)
    uint64_t bytes_in = 0;
    uint64_t bytes_out = 0;
    double milliseconds = 0;
    std::string verdict; // the review's, where there was one
    std::string profile; // the profile the request chose, where it takes one
    std::string note;    // why a connection ended without an answer, or what failed
};

// Writes one line per request, and one per event that ended a connection or touched the
// service (a refused connection, an exception), to a sink: standard error in vrel-serve.
class AccessLog {
public:
    using Sink = std::function<void(const std::string& line)>;

    AccessLog(LogFormat format, bool quiet, Sink sink);
    void Request(const AccessEntry& entry) const;
    // A service event: "connection refused", "accept failed", ... with its detail.
    void Event(const std::string& what, const std::string& detail) const;
    // A start-up or shutdown line, written even when quiet.
    void Notice(const std::string& text) const;

    // A new request id: 16 hexadecimal digits, unique within the process and unlikely to repeat
    // across processes.
    static std::string NewId();

private:
    LogFormat format_;
    bool quiet_;
    Sink sink_;
};

} // namespace vrel::serve
