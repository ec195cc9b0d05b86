// vrel-serve: the review as an HTTP service with a web page.
#include "check/app_dir.h"
#include "check/quiet.h"
#include "check/settings.h"
#include "cli/options.h"
#include "platform/files.h"
#include "serve/http_server.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>
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
    std::string cors;
    int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int queue = 0; // 0: 8 per worker
    int upload_mb = 20;
    bool trust_marker = false;
    bool fast_decode = false;
};

// Reads the command line into o; an exit status where the program ends here.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& o) {
    CLI::App app{"Reviews registration photos over HTTP: a JSON API and a web page."};
    app.set_version_flag("--version", "vrel-serve 2.5.2");
    vrel::SingleOption listen, settings, data_dir, jobs, queue, upload, cors;
    listen.Add(app, "--listen", "ADDR:PORT", "Address to listen on (default 127.0.0.1:8080)");
    settings.Add(app, "--settings", "FILE",
                 "Settings file (default: setting.vr beside the program)");
    data_dir.Add(app, "--data-dir", "DIR",
                 "Folder holding labels/ and the cascade file (default: the program's folder)");
    jobs.Add(app, "--jobs,-j", "N", "Reviews at once, 1 to 256 (default: all cores)");
    queue.Add(app, "--queue", "N",
              "Reviews that may wait for a worker, 1 to 100000 (default: 8 per worker); more are "
              "answered 503");
    upload.Add(app, "--max-upload-mb", "N",
               "Largest photo accepted, in MB, 1 to 1024 (default 20); larger get 413");
    cors.Add(app, "--cors-origin", "ORIGIN",
             "Let pages from this origin call the API (Access-Control-Allow-Origin)");
    app.add_flag("--trust-marker", o.trust_marker,
                 "Pass a file that ends in the pass marker at once, as the desktop tool does "
                 "(default: review it with every test; the marker is 16 public bytes)");
    app.add_flag("--fast-decode", o.fast_decode,
                 "Decode large JPEGs reduced to at least the normalised size: much faster, and "
                 "a verdict near a bound may differ from the exact review");
    app.footer("Exit status: 0 after SIGTERM or SIGINT once the requests under way are answered, "
               "2 for a usage or set-up error.");
    if (const auto status = vrel::ParseArguments(app, argc, argv)) {
        return status;
    }
    std::string problem;
    if (!listen.Take(o.listen, problem) || !settings.Take(o.settings_path, problem) ||
        !data_dir.Take(o.data_dir, problem) || !cors.Take(o.cors, problem) ||
        !jobs.TakeInt(o.jobs, 1, 256, problem) || !queue.TakeInt(o.queue, 1, 100000, problem) ||
        !upload.TakeInt(o.upload_mb, 1, 1024, problem)) {
        return SetupError(problem + "\nRun with --help for more information.");
    }
    return std::nullopt;
}

vrel::serve::ServiceOptions Service(const Options& o, const vrel::CheckSettings& settings) {
    vrel::serve::ServiceOptions service;
    service.cors_origin = o.cors;
    service.limits.max_upload_bytes = static_cast<size_t>(o.upload_mb) << 20;
    service.limits.queue =
        o.queue > 0 ? static_cast<size_t>(o.queue) : 8 * static_cast<size_t>(o.jobs);
    service.pool.settings = settings;
    service.pool.data_dir = o.data_dir;
    service.pool.jobs = o.jobs;
    service.pool.queue = service.limits.queue;
    service.pool.review.reuse_detector = true;
    service.pool.review.reuse_buffers = true;
    service.pool.review.ignore_marker = !o.trust_marker;
    service.pool.review.fast_decode = o.fast_decode;
    return service;
}

} // namespace

int main(int argc, char** argv) {
    vrel::platform::PrepareProcess();
    vrel::QuietImageLibrary();
    Options o;
    if (const auto status = ParseCommandLine(argc, argv, o)) {
        return *status;
    }
    vrel::CheckSettings settings;
    if (!vrel::LoadReviewSetup("vrel-serve", o.settings_path, o.data_dir, settings)) {
        return kSetupError;
    }
    vrel::serve::ServiceOptions options = Service(o, settings);
    if (!SplitListen(o.listen, options.address, options.port)) {
        return SetupError("--listen takes ADDR:PORT (a port from 0 to 65535), not '" + o.listen +
                          "'");
    }
    vrel::serve::HttpService service(options);
    std::string error;
    if (!service.Listen(error)) {
        return SetupError(error);
    }
    // The first line tells where the service listens (with port 0, which port it got).
    std::cout << "listening on " << options.address << ":" << service.Port() << std::endl;
    service.Run(true);
    std::cerr << "vrel-serve: stopped\n";
    return 0;
}
