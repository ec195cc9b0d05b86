// vrel-serve: the review as an HTTP service with a web page.
#include "check/app_dir.h"
#include "check/face.h"
#include "check/quiet.h"
#include "check/settings.h"
#include "cli/options.h"
#include "platform/files.h"
#include "serve/http_server.h"

#include <CLI/CLI.hpp>

#include <iostream>
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

} // namespace

int main(int argc, char** argv) {
    vrel::platform::PrepareProcess();
    vrel::QuietImageLibrary();

    CLI::App app{"Reviews registration photos over HTTP: a JSON API and a web page."};
    app.set_version_flag("--version", "vrel-serve 2.5.2");
    vrel::SingleOption listen_opt, settings_opt, data_dir_opt, jobs_opt, queue_opt, upload_opt,
        cors_opt;
    bool trust_marker = false;
    bool fast_decode = false;
    listen_opt.Add(app, "--listen", "ADDR:PORT", "Address to listen on (default 127.0.0.1:8080)");
    settings_opt.Add(app, "--settings", "FILE",
                     "Settings file (default: setting.vr beside the program)");
    data_dir_opt.Add(app, "--data-dir", "DIR",
                     "Folder holding labels/ and the cascade file (default: the program's folder)");
    jobs_opt.Add(app, "--jobs,-j", "N", "Reviews at once, 1 to 256 (default: all cores)");
    queue_opt.Add(app, "--queue", "N",
                  "Reviews that may wait for a worker, 1 to 100000 (default: 8 per worker); "
                  "more are answered 503");
    upload_opt.Add(app, "--max-upload-mb", "N",
                   "Largest photo accepted, in MB, 1 to 1024 (default 20); larger get 413");
    cors_opt.Add(app, "--cors-origin", "ORIGIN",
                 "Let pages from this origin call the API (Access-Control-Allow-Origin)");
    app.add_flag("--trust-marker", trust_marker,
                 "Pass a file that ends in the pass marker at once, as the desktop tool does "
                 "(default: review it with every test; the marker is 16 public bytes)");
    app.add_flag("--fast-decode", fast_decode,
                 "Decode large JPEGs reduced to at least the normalised size: much faster, and "
                 "a verdict near a bound may differ from the exact review");
    app.footer("Exit status: 0 after SIGTERM or SIGINT once the requests under way are answered, "
               "2 for a usage or set-up error.");

    std::string listen = "127.0.0.1:8080";
    std::string settings_path = vrel::AppPath(vrel::kSettingsFileName);
    std::string data_dir = vrel::AppDir();
    std::string cors;
    int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int queue = 0;
    int upload_mb = 20;
    try {
        app.parse(argc, argv);
        std::string problem;
        if (!listen_opt.Take(listen, problem) || !settings_opt.Take(settings_path, problem) ||
            !data_dir_opt.Take(data_dir, problem) || !cors_opt.Take(cors, problem) ||
            !jobs_opt.TakeInt(jobs, 1, 256, problem) ||
            !queue_opt.TakeInt(queue, 1, 100000, problem) ||
            !upload_opt.TakeInt(upload_mb, 1, 1024, problem)) {
            return SetupError(problem + "\nRun with --help for more information.");
        }
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kSetupError;
    }

    vrel::serve::ServiceOptions options;
    if (!SplitListen(listen, options.address, options.port)) {
        return SetupError("--listen takes ADDR:PORT (a port from 0 to 65535), not '" + listen +
                          "'");
    }
    const vrel::SettingsLoad settings = vrel::LoadSettingsForReview(settings_path);
    if (settings.fault == vrel::SettingsFault::Missing) {
        std::cerr << vrel::kMissingSettingsMessage << "\n";
    }
    if (!settings.Usable()) {
        return SetupError(settings.detail);
    }
    if (!data_dir.empty() && data_dir.back() != '/') {
        data_dir += '/';
    }
    if (!vrel::FaceDetector(data_dir + vrel::kCascadeFileName).Loaded()) {
        return SetupError("cannot load the face detector '" + data_dir + vrel::kCascadeFileName +
                          "': the file is missing or unreadable");
    }
    options.cors_origin = cors;
    options.limits.max_upload_bytes = static_cast<size_t>(upload_mb) << 20;
    options.limits.queue = queue > 0 ? static_cast<size_t>(queue) : 8 * static_cast<size_t>(jobs);
    options.pool.settings = settings.settings;
    options.pool.data_dir = data_dir;
    options.pool.jobs = jobs;
    options.pool.queue = options.limits.queue;
    options.pool.review.reuse_detector = true;
    options.pool.review.reuse_buffers = true;
    options.pool.review.ignore_marker = !trust_marker;
    options.pool.review.fast_decode = fast_decode;

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
