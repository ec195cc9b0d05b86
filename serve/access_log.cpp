#include "serve/access_log.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <sstream>

namespace vrel::serve {
namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// UTC with milliseconds: 2026-12-07T04:30:00.123Z
std::string Now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms));
    return text;
}

// Text output keeps one line per entry: control bytes and quotes are escaped.
std::string Escaped(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

AccessLog::AccessLog(LogFormat format, bool quiet, Sink sink)
    : format_(format), quiet_(quiet), sink_(std::move(sink)) {}

void AccessLog::Request(const AccessEntry& e) const {
    if (quiet_ || !sink_) {
        return;
    }
    if (format_ == LogFormat::Json) {
        Json j = {{"time", Now()},
                  {"id", e.id},
                  {"remote", e.remote},
                  {"method", e.method},
                  {"path", e.path},
                  {"route", e.route},
                  {"status", e.status},
                  {"bytes_in", e.bytes_in},
                  {"bytes_out", e.bytes_out},
                  {"ms", std::round(e.milliseconds * 10) / 10}};
        if (!e.verdict.empty()) {
            j["verdict"] = e.verdict;
        }
        if (!e.profile.empty()) {
            j["profile"] = e.profile;
        }
        if (!e.note.empty()) {
            j["note"] = e.note;
        }
        return sink_(Dump(j));
    }
    std::ostringstream line;
    line << Now() << ' ' << e.id << ' ' << e.remote << " \"" << Escaped(e.method) << ' '
         << Escaped(e.path) << "\" " << e.status << ' ' << e.bytes_in << ' ' << e.bytes_out << ' '
         << std::round(e.milliseconds * 10) / 10 << "ms";
    if (!e.verdict.empty()) {
        line << ' ' << e.verdict;
    }
    if (!e.profile.empty()) {
        line << " profile=" << Escaped(e.profile);
    }
    if (!e.note.empty()) {
        line << " \"" << Escaped(e.note) << '"';
    }
    sink_(line.str());
}

void AccessLog::Event(const std::string& what, const std::string& detail) const {
    if (quiet_ || !sink_) {
        return;
    }
    if (format_ == LogFormat::Json) {
        return sink_(Dump(Json{{"time", Now()}, {"event", what}, {"detail", detail}}));
    }
    sink_(Now() + " " + Escaped(what) + ": " + Escaped(detail));
}

void AccessLog::Notice(const std::string& text) const {
    if (!sink_) {
        return;
    }
    if (format_ == LogFormat::Json) {
        return sink_(Dump(Json{{"time", Now()}, {"event", "notice"}, {"detail", text}}));
    }
    sink_(Now() + " " + text);
}

std::string AccessLog::NewId() {
    static const uint64_t seed = [] {
        std::random_device device;
        return (uint64_t{device()} << 32) ^ device();
    }();
    static std::atomic<uint64_t> counter{0};
    // splitmix64 of the seed plus a counter: distinct within the process.
    uint64_t z = seed + 0x9E3779B97F4A7C15ull * (counter.fetch_add(1) + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(z));
    return text;
}

} // namespace vrel::serve
