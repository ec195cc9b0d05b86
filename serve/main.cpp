// vrel-serve: the review as an HTTP service with a web page.
#include "base/version.h"
#include "check/settings.h"
#include "check/settings_text.h"
#include "correct/correction.h"
#include "platform/files.h"
#include "report/messages.h"
#include "serve/http_server.h"
#include "serve/log_writer.h"
#include "serve/profiles.h"
#include "setup/app_dir.h"
#include "setup/options.h"
#include "setup/quiet.h"
#include "setup/review_kit.h"

#include <CLI/CLI.hpp>
#include <opencv2/core/utility.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

namespace {

constexpr int kSetupError = 2;

int SetupError(const std::string& message) {
    std::cerr << "vrel-serve: " << message << "\n";
    return kSetupError;
}

// "ADDR:PORT", "[v6]:PORT" or ":PORT".
bool SplitListen(const std::string& text, std::string& address, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    if (address.empty()) {
        address = "0.0.0.0";
    }
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(std::stoi(digits));
    return true;
}

struct Options {
    std::string listen = "127.0.0.1:8080";
    std::string settings_path = vrel::AppPath(vrel::kSettingsFileName);
    std::string data_dir = vrel::AppDir();
    std::string profiles_dir; // empty: the service's own settings only
    std::string cors;
    std::string log_format = "json";
    std::optional<std::string> backdrop; // none: white (or the first the settings accept)
    int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int queue = 0; // 0: 8 per worker
    bool trust_marker = false;
    bool fast_decode = false;
    bool quiet = false;
    vrel::serve::ServiceLimits limits;
};

using vrel::serve::ServiceLimits;
using Seconds = std::chrono::seconds;

// The limits that are options: each a whole number in a range, with its unit.
struct LimitOption {
    const char* name;
    const char* help;
    int min, max;
    int (*get)(const ServiceLimits&);
    void (*set)(ServiceLimits&, int);
};

template <typename D> int InSeconds(D d) {
    return static_cast<int>(std::chrono::duration_cast<Seconds>(d).count());
}

const LimitOption kLimitOptions[] = {
    {"--max-upload-mb", "Largest photo accepted, in MB (larger get 413)", 1, 1024,
     [](const ServiceLimits& l) { return static_cast<int>(l.max_upload_bytes >> 20); },
     [](ServiceLimits& l, int v) { l.max_upload_bytes = static_cast<size_t>(v) << 20; }},
    {"--max-header-kb", "Request line, headers, chunk extensions and trailers, in KB (431 past it)",
     1, 32, [](const ServiceLimits& l) { return static_cast<int>(l.max_header_bytes >> 10); },
     [](ServiceLimits& l, int v) { l.max_header_bytes = static_cast<size_t>(v) << 10; }},
    {"--header-timeout", "Seconds for the request line and headers to arrive", 1, 600,
     [](const ServiceLimits& l) { return InSeconds(l.header_timeout); },
     [](ServiceLimits& l, int v) { l.header_timeout = Seconds(v); }},
    {"--body-idle-timeout", "Longest pause in an upload, in seconds (408 past it)", 1, 600,
     [](const ServiceLimits& l) { return InSeconds(l.body_idle_timeout); },
     [](ServiceLimits& l, int v) { l.body_idle_timeout = Seconds(v); }},
    {"--body-timeout",
     "Seconds an upload may take beyond the time its length takes at the "
     "minimum rate",
     1, 3600, [](const ServiceLimits& l) { return InSeconds(l.body_timeout); },
     [](ServiceLimits& l, int v) { l.body_timeout = Seconds(v); }},
    {"--min-upload-rate-kb",
     "Slowest average upload after the first 10 seconds, in KB/s "
     "(408 below it)",
     1, 102400, [](const ServiceLimits& l) { return static_cast<int>(l.body_min_rate >> 10); },
     [](ServiceLimits& l, int v) { l.body_min_rate = static_cast<size_t>(v) << 10; }},
    {"--keep-alive-timeout", "Seconds a kept connection may wait for its next request", 1, 600,
     [](const ServiceLimits& l) { return InSeconds(l.keep_alive_timeout); },
     [](ServiceLimits& l, int v) { l.keep_alive_timeout = Seconds(v); }},
    {"--write-timeout", "Seconds for writing one answer", 1, 600,
     [](const ServiceLimits& l) { return InSeconds(l.write_timeout); },
     [](ServiceLimits& l, int v) { l.write_timeout = Seconds(v); }},
    {"--max-connections",
     "Connections open at once (at the limit the longest idle one is "
     "closed to make room)",
     16, 1000000, [](const ServiceLimits& l) { return static_cast<int>(l.max_connections); },
     [](ServiceLimits& l, int v) { l.max_connections = static_cast<size_t>(v); }},
    {"--pixel-budget-mp",
     "Memory of the photos under review at once, in millions of pixels of 10 bytes", 64, 100000,
     [](const ServiceLimits& l) { return static_cast<int>(l.pixel_budget / 1000000); },
     [](ServiceLimits& l, int v) { l.pixel_budget = int64_t{v} * 1000000; }},
    {"--review-timeout", "Seconds one review or correction may work (then: undecodable)", 1, 3600,
     [](const ServiceLimits& l) { return InSeconds(l.review_timeout); },
     [](ServiceLimits& l, int v) { l.review_timeout = Seconds(v); }},
    {"--drain-seconds", "After SIGTERM, seconds to go on answering with /readyz at 503", 0, 600,
     [](const ServiceLimits& l) { return InSeconds(l.drain_timeout); },
     [](ServiceLimits& l, int v) { l.drain_timeout = Seconds(v); }},
};

// An origin for Access-Control-Allow-Origin: "*" or scheme://host[:port], nothing that could
// break the header.
bool ValidOrigin(const std::string& origin) {
    static const std::regex pattern(
        R"(\*|https?://([A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)*|\[[0-9A-Fa-f:.]+\])(:[0-9]{1,5})?)");
    return origin.size() <= 256 && std::regex_match(origin, pattern);
}

// Reads the command line into o; an exit status where the program ends here.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& o) {
    CLI::App app{"Reviews registration photos over HTTP: a JSON API and a web page."};
    app.set_version_flag("--version", std::string("vrel-serve ") + vrel::kVersion);
    vrel::SingleOption listen, settings, data_dir, profiles, jobs, queue, cors, log_format,
        backdrop;
    listen.Add(app, "--listen", "ADDR:PORT", "Address to listen on (default 127.0.0.1:8080)");
    settings.Add(app, "--settings", "FILE",
                 "Settings file (default: setting.vr beside the program)");
    data_dir.Add(app, "--data-dir", "DIR",
                 "Folder holding labels/ and the cascade file (default: the program's folder)");
    profiles.Add(app, "--profiles", "DIR",
                 "Also the exams of every NAME.vr in DIR, chosen per request with ?profile=NAME "
                 "(the settings file is the profile 'default')");
    jobs.Add(app, "--jobs,-j", "N", "Reviews at once, 1 to 256 (default: all cores)");
    queue.Add(app, "--queue", "N",
              "Reviews that may wait for a worker, 1 to 100000 (default: 8 per worker); more are "
              "answered 503");
    std::vector<vrel::SingleOption> limits(std::size(kLimitOptions));
    for (size_t i = 0; i < limits.size(); ++i) {
        const LimitOption& l = kLimitOptions[i];
        limits[i].Add(app, l.name, "N",
                      std::string(l.help) + ", " + std::to_string(l.min) + " to " +
                          std::to_string(l.max) + " (default " + std::to_string(l.get(o.limits)) +
                          ")");
    }
    cors.Add(app, "--cors-origin", "ORIGIN",
             "Let pages from this origin (scheme://host[:port], or *) call the API");
    log_format.Add(app, "--log-format", "text|json",
                   "Access log on standard error, one line per request (default json)");
    CLI::Option* backdrop_option =
        backdrop.Add(app, "--backdrop", "white|blue|#RRGGBB",
                     "Colour of a backdrop the correction replaces, unless a request asks for "
                     "another (default white; blue only where the settings have bgc=1)");
    app.add_flag("--quiet", o.quiet, "No access log (start-up and shutdown lines still come)");
    app.add_flag("--trust-marker", o.trust_marker,
                 "Pass a file that ends in the pass marker at once, as the desktop tool does "
                 "(default: review it with every test; the marker is 16 public bytes)");
    app.add_flag("--fast-decode", o.fast_decode,
                 "Decode large JPEGs reduced to at least the normalised size: much faster, and "
                 "a verdict near a bound may differ from the exact review");
    app.footer("SIGTERM (and SIGHUP): /readyz answers 503 while the service goes on answering "
               "for the drain time; then what is queued gets 503, what runs is cancelled, and it "
               "exits 0; a second one stops at once. "
               "SIGINT: stops taking requests and exits 0 once those under way are answered.\n"
               "Exit status: 0 after SIGTERM or SIGINT, 2 for a usage or set-up error.");
    if (const auto status = vrel::ParseArguments(app, argc, argv)) {
        return status;
    }
    std::vector<vrel::Error> errors = {listen.Take(o.listen),
                                       settings.Take(o.settings_path),
                                       data_dir.Take(o.data_dir),
                                       profiles.Take(o.profiles_dir),
                                       cors.Take(o.cors),
                                       log_format.Take(o.log_format),
                                       jobs.TakeInt(o.jobs, 1, 256),
                                       queue.TakeInt(o.queue, 1, 100000)};
    for (size_t i = 0; i < limits.size(); ++i) {
        const LimitOption& l = kLimitOptions[i];
        int value = l.get(o.limits);
        errors.push_back(limits[i].TakeInt(value, l.min, l.max));
        l.set(o.limits, value);
    }
    if (backdrop_option->count() > 0) {
        errors.push_back(backdrop.Take(o.backdrop.emplace()));
    }
    if (!o.cors.empty() && !ValidOrigin(o.cors)) {
        errors.emplace_back(vrel::ErrorCode::Invalid,
                            "--cors-origin takes * or scheme://host[:port], not '" + o.cors + "'");
    }
    if (o.log_format != "json" && o.log_format != "text") {
        errors.emplace_back(vrel::ErrorCode::Invalid,
                            "--log-format takes text or json, not '" + o.log_format + "'");
    }
    for (const vrel::Error& error : errors) {
        if (error) {
            return SetupError(error.Detail() + "\nRun with --help for more information.");
        }
    }
    return std::nullopt;
}

vrel::serve::ServiceOptions Service(const Options& o, vrel::ReviewKit kit) {
    vrel::serve::ServiceOptions service;
    service.cors_origin = o.cors;
    service.limits = o.limits;
    service.limits.queue =
        o.queue > 0 ? static_cast<size_t>(o.queue) : 8 * static_cast<size_t>(o.jobs);
    kit.review.ignore_marker = !o.trust_marker;
    kit.review.fast_decode = o.fast_decode;
    kit.review.time_limit = std::chrono::milliseconds(0); // the service sets its own
    service.pool.kit = std::move(kit);
    service.pool.jobs = o.jobs;
    service.pool.queue = service.limits.queue;
    service.log_format =
        o.log_format == "text" ? vrel::serve::LogFormat::Text : vrel::serve::LogFormat::Json;
    service.quiet = o.quiet;
    // Room for the listener, the standard streams and the files a review opens.
    if (const size_t files = vrel::platform::RaiseOpenFileLimit(); files > 0) {
        const size_t room = files > 128 ? files - 64 : files / 2;
        service.limits.max_connections = std::min(service.limits.max_connections, room);
    }
    return service;
}

// The address as a URL shows it: an IPv6 one in brackets.
std::string HostPort(const std::string& address, uint16_t port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

// Every limit in force, on one line.
std::string StartupLine(const vrel::serve::ServiceOptions& s, const std::string& where) {
    const ServiceLimits& l = s.limits;
    std::ostringstream line;
    line << "vrel-serve " << vrel::kVersion << " on " << where << ": jobs " << s.pool.jobs
         << ", queue " << l.queue;
    for (const LimitOption& option : kLimitOptions) {
        line << ", " << (option.name + 2) << ' ' << option.get(l);
    }
    line << ", body-memory-mb "
         << (l.body_memory_budget != 0
                 ? l.body_memory_budget >> 20
                 : ((static_cast<size_t>(s.pool.jobs) + l.queue + 4) * l.max_upload_bytes) >> 20)
         << ", cors " << (s.cors_origin.empty() ? "off" : s.cors_origin) << ", marker "
         << (s.pool.kit.review.ignore_marker ? "reviewed" : "trusted") << ", backdrop "
         << s.pool.kit.backdrop.name << ", profiles default";
    for (const vrel::serve::ServiceProfile& profile : s.pool.profiles) {
        line << ' ' << profile.name;
    }
    return line.str();
}

} // namespace

int main(int argc, char** argv) {
    vrel::platform::PrepareProcess();
    vrel::QuietImageLibrary();
    Options o;
    if (const auto status = ParseCommandLine(argc, argv, o)) {
        return *status;
    }
    vrel::Result<vrel::ReviewKit> kit = vrel::LoadReviewKit(o.settings_path, o.data_dir, true);
    if (!kit) {
        std::cerr << vrel::SetupErrorLines("vrel-serve", kit.Err());
        return kSetupError;
    }
    vrel::Result<vrel::BackdropColour> backdrop = vrel::KitBackdrop(o.backdrop, kit->settings);
    if (!backdrop) {
        return SetupError("--backdrop: " + backdrop.Err().Detail() +
                          "\nRun with --help for more information.");
    }
    kit->backdrop = *backdrop;
    // The log is written by a thread of its own: a reader of standard error that stalls or
    // goes away costs log lines (counted at /metrics), never the service.
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
#endif
    vrel::serve::LogWriter log_writer(2);
    const vrel::Error correction_unavailable = kit->correction_unavailable;
    const vrel::Error landmarks_unavailable = kit->landmarks_unavailable;
    const std::vector<vrel::SettingsWarning> warnings = kit->warnings;
    vrel::serve::ServiceOptions options = Service(o, std::move(*kit));
    if (vrel::Result<std::string> text = vrel::ReadSettingsText(o.settings_path)) {
        options.pool.info = vrel::ReadSettingsProfile(*text);
    }
    if (!o.profiles_dir.empty()) {
        auto profiles = vrel::serve::LoadProfiles(o.profiles_dir, options.pool.kit, o.backdrop);
        if (!profiles) {
            std::cerr << vrel::SetupErrorLines("vrel-serve", profiles.Err());
            return kSetupError;
        }
        options.pool.profiles = std::move(*profiles);
    }
    options.log = [&log_writer](const std::string& line) { log_writer.Write(line); };
    options.log_dropped = [&log_writer] { return log_writer.Dropped(); };
    if (!SplitListen(o.listen, options.address, options.port)) {
        return SetupError("--listen takes ADDR:PORT (a port from 0 to 65535), not '" + o.listen +
                          "'");
    }
    // Each worker reviews one photo at a time: the image library's own threads would only
    // compete with them, and with the connections' thread.
    cv::setNumThreads(0);
    vrel::serve::HttpService service(options);
    if (const vrel::Error error = service.Listen()) {
        return SetupError(error.Detail());
    }
    // The first line tells where the service listens (with port 0, which port it got).
    const std::string where = HostPort(options.address, service.Port());
    std::cout << "listening on " << where << std::endl;
    const vrel::serve::AccessLog log(options.log_format, false, options.log);
    log.Notice(StartupLine(options, where));
    for (const vrel::SettingsWarning& warning : warnings) {
        log.Notice("vrel-serve: warning: " + o.settings_path + ": " + vrel::WarningLine(warning));
    }
    for (const vrel::serve::ServiceProfile& profile : options.pool.profiles) {
        for (const vrel::SettingsWarning& warning : profile.kit.warnings) {
            log.Notice("vrel-serve: warning: " + profile.path + ": " + vrel::WarningLine(warning));
        }
    }
    if (landmarks_unavailable) {
        log.Notice("vrel-serve: some quality advisories are left out: " +
                   landmarks_unavailable.Detail());
    }
    // Each worker's corrector loads the backdrop model; without it only corrections fail.
    if (correction_unavailable) {
        log.Notice("vrel-serve: corrections are unavailable (/api/v1/correct answers 503): " +
                   correction_unavailable.Detail());
    }
    const size_t abandoned = service.Run(true);
    if (abandoned == 0) {
        log.Notice("vrel-serve: stopped");
        return 0;
    }
    // Every client has its answer; work that could not be interrupted is not waited for.
    log.Notice("vrel-serve: stopped (" + std::to_string(abandoned) +
               " cancelled reviews were still running and are abandoned)");
    log_writer.Flush(std::chrono::milliseconds(200));
    std::cout.flush();
    std::_Exit(0);
}
