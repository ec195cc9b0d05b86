// vrel-serve against hostile and careless clients: every request found to end the process, to
// hold a worker or to take memory is answered, and the service lives on. Also the drain after
// SIGTERM, reviews cancelled when their client goes, the access log and the probes.
#include "serve/log_writer.h"
#include "serve/pixel_budget.h"

#include "process.h"
#include "serve_client.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <regex>

namespace vrel::serve {
namespace {

using namespace test_client;

// The resident memory of this process, in MB (the service runs inside it).
double ResidentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024;
        }
    }
    return 0;
}

std::string Chunked(const std::string& chunk_line, const std::string& trailer) {
    return "POST /api/v1/review HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
           "Transfer-Encoding: chunked\r\n\r\n" +
           chunk_line + "\r\nabc\r\n0\r\n" + trailer + "\r\n";
}

std::string Head(const std::string& fields, const std::string& body = "") {
    return "POST /api/v1/review HTTP/1.1\r\nConnection: close\r\n" + fields + "\r\n" + body;
}

TEST(ServeHostile, MalformedAndOversizedRequestsAreAnsweredAndTheServiceLives) {
    Running service;
    const uint16_t port = service.Port();
    const std::string form = "Content-Length: 4\r\nHost: x\r\nContent-Type: multipart/form-data";
    const struct {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        // Trailers and chunk extensions count against the header limit (16 KB).
        {"a trailer field of 70 KB", Chunked("3", "X-T: " + std::string(70000, 'a') + "\r\n"), 431},
        {"a trailer of 17 KB", Chunked("3", "X-T: " + std::string(17000, 'a') + "\r\n"), 431},
        {"a chunk extension of 4 MB", Chunked("3;e=" + std::string(4 << 20, 'b'), ""), 431},
        {"many small extensions",
         Chunked(
             "3" +
                 [] {
                     std::string many;
                     for (int i = 0; i < 5000; ++i) {
                         many += ";a=b";
                     }
                     return many;
                 }(),
             ""),
         431},
        {"an empty extension name", Chunked("3;;", ""), 400},
        {"a malformed chunk size", Chunked("zz", ""), 400},
        // The body would be read as the next request.
        {"an unknown transfer coding",
         Head("Host: x\r\nTransfer-Encoding: gzip\r\n", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"), 400},
        {"chunked then identity", Head("Host: x\r\nTransfer-Encoding: chunked, identity\r\n"), 400},
        {"chunked twice",
         Head("Host: x\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: "
              "chunked\r\n"),
         400},
        {"a second coding further down",
         Head("Transfer-Encoding: chunked\r\nHost: x\r\nTransfer-Encoding: gzip\r\n",
              "3\r\nabc\r\n0\r\n\r\n"),
         400},
        {"no Host", Head("Content-Length: 0\r\n"), 400},
        {"two Hosts", Head("Host: a\r\nHost: b\r\nContent-Length: 0\r\n"), 400},
        {"multipart without a boundary", Head(form + "\r\n", "abcd"), 400},
        {"multipart with an empty boundary", Head(form + "; boundary=\r\n", "abcd"), 400},
        {"multipart with a boundary of 71",
         Head(form + "; boundary=" + std::string(71, 'b') + "\r\n", "abcd"), 400},
        {"an expectation we cannot meet",
         Head("Host: x\r\nExpect: 200-ok\r\nContent-Length: 4\r\n"), 417},
        {"headers of 20 KB", Head("Host: x\r\nX-A: " + std::string(20000, 'a') + "\r\n"), 431},
        {"a declared body of 50 MB", Head("Host: x\r\nContent-Length: 52428800\r\n"), 413},
    };
    const double before = ResidentMegabytes();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client(port);
        client.Write(c.request);
        const std::string answer = client.ReadAll();
        EXPECT_EQ(answer.rfind("HTTP/1.1 " + std::to_string(c.status), 0), 0u)
            << answer.substr(0, 120);
        EXPECT_NE(answer.find("\r\n\r\n{\"error\":"), std::string::npos);
    }
    // Nothing of it was kept: the extension and the trailer were never buffered whole.
    EXPECT_LT(ResidentMegabytes() - before, 32) << "MB more after the hostile requests";
    EXPECT_EQ(Send(port, http::verb::get, "/healthz", "").status, 200);
    EXPECT_EQ(Post(port, "/api/v1/review", "passed-grey-600x800.jpg").status, 200);
}

TEST(ServeHostile, ExpectContinueIsAnsweredOrRefusedBeforeTheBody) {
    Running service;
    const std::string photo = Text(test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg")));
    RawClient client(service.Port());
    client.Write("POST /api/v1/review HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                 "Content-Length: " +
                 std::to_string(photo.size()) + "\r\n\r\n");
    EXPECT_EQ(client.ReadUntil("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    client.Write(photo);
    EXPECT_EQ(client.ReadUntil("\"verdict\":\"Passed\"").rfind("HTTP/1.1 200", 0), 0u);

    RawClient large(service.Port());
    large.Write("POST /api/v1/review HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                "Content-Length: 52428800\r\n\r\n");
    EXPECT_EQ(large.ReadAll().rfind("HTTP/1.1 413", 0), 0u);
}

// Every answer carries the security headers and a request id; photos and records are never
// cached, page assets are revalidated by their entity tag.
TEST(ServeHostile, SecurityAndCacheHeaders) {
    Running service;
    const uint16_t port = service.Port();
    const Answer page = Send(port, http::verb::get, "/", "");
    const Answer record = Post(port, "/api/v1/review", "passed-grey-600x800.jpg");
    const Answer saved = Post(port, "/api/v1/save", "passed-grey-600x800.jpg");
    for (const Answer* a : {&page, &record, &saved}) {
        EXPECT_EQ(a->headers.at("X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(a->headers.at("Referrer-Policy"), "no-referrer");
        EXPECT_NE(a->headers.at("Content-Security-Policy").find("frame-ancestors 'none'"),
                  std::string::npos);
        EXPECT_TRUE(std::regex_match(a->headers.at("X-Request-Id"), std::regex("[0-9a-f]{16}")));
    }
    EXPECT_NE(record.headers.at("X-Request-Id"), saved.headers.at("X-Request-Id"));
    EXPECT_EQ(record.headers.at("Cache-Control"), "no-store");
    EXPECT_EQ(saved.headers.at("Cache-Control"), "no-store");
    EXPECT_EQ(page.headers.at("Cache-Control"), "no-cache");
    const std::string tag = page.headers.at("ETag");

    net::io_context io;
    beast::tcp_stream stream(io);
    stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    http::request<http::empty_body> again(http::verb::get, "/", 11);
    again.set(http::field::host, "x");
    again.set(http::field::if_none_match, tag);
    http::write(stream, again);
    beast::flat_buffer buffer;
    http::response<http::string_body> unchanged;
    http::read(stream, buffer, unchanged);
    EXPECT_EQ(unchanged.result_int(), 304u);
    EXPECT_TRUE(unchanged.body().empty());
    EXPECT_EQ(unchanged[http::field::etag], tag);
    // The browser keeps the revalidated answer's policy with the page: it must be the page's.
    EXPECT_EQ(unchanged["Content-Security-Policy"], page.headers.at("Content-Security-Policy"));
}

// A handler the test controls: each photo waits until the test lets it go or its limit stops
// it (cancelled, out of time), and says which. A deaf gate stands for work that cannot be
// interrupted: it waits for the test alone.
class Gate {
public:
    explicit Gate(bool deaf = false) : deaf_(deaf) {}
    PhotoHandler Handler() {
        return [this](Action, WorkerTools&, const Upload&, const WorkLimit& limit,
                      CheckVerdict& verdict) {
            std::unique_lock<std::mutex> lock(mutex_);
            ++started_;
            changed_.notify_all();
            // The limit is a flag and a clock, not something to wait on: look again often.
            while (!open_ && (deaf_ || limit.Stopped() == nullptr)) {
                changed_.wait_for(lock, std::chrono::milliseconds(5));
            }
            verdict = CheckVerdict::Passed;
            const char* why = limit.Stopped();
            return Reply{200,
                         "application/json",
                         std::string("{\"stopped\":\"") + (why ? why : "") + "\"}",
                         {}};
        };
    }
    void WaitStarted(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return started_ >= count; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    const bool deaf_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int started_ = 0;
    bool open_ = false;
};

// Log lines collected from the service, waited on.
class LogLines {
public:
    AccessLog::Sink Sink() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
            added_.notify_all();
        };
    }
    // The first line that holds text, waiting for it.
    std::string WaitFor(const std::string& text) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::string found;
        added_.wait_for(lock, std::chrono::seconds(60), [&] {
            for (const std::string& line : lines_) {
                if (line.find(text) != std::string::npos) {
                    found = line;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

private:
    std::mutex mutex_;
    std::condition_variable added_;
    std::vector<std::string> lines_;
};

// A service of one worker whose photos wait at the gate, logging into log.
ServiceOptions Gated(Gate& gate, LogLines& log) {
    ServiceOptions options = Running::Defaults();
    options.pool.jobs = 1;
    options.handler = gate.Handler();
    options.log = log.Sink();
    return options;
}

std::string PhotoRequest(const std::string& sample) {
    const std::string photo = Text(test::ReadBytes(test::SamplePath(sample)));
    return "POST /api/v1/review HTTP/1.1\r\nHost: x\r\nContent-Length: " +
           std::to_string(photo.size()) + "\r\n\r\n" + photo;
}

// A client that goes away while its photo is reviewed cancels the review; the worker is free
// for the next, and the access log says what happened.
TEST(ServeHostile, AReviewIsCancelledWhenItsClientGoes) {
    Gate gate;
    LogLines log;
    Running service(Gated(gate, log));
    {
        RawClient leaving(service.Port());
        leaving.Write(PhotoRequest("passed-grey-600x800.jpg"));
        gate.WaitStarted(1);
    }
    const Json cancelled = Json::parse(log.WaitFor("client went away"));
    EXPECT_EQ(cancelled["status"], 0);
    EXPECT_EQ(cancelled["route"], "/api/v1/review");
    gate.Open();
    const Answer next = Post(service.Port(), "/api/v1/review", "passed-grey-600x800.jpg");
    EXPECT_EQ(next.AsJson()["stopped"], "");
    const Json line = Json::parse(log.WaitFor(next.headers.at("X-Request-Id")));
    for (const char* key : {"time", "id", "remote", "method", "path", "route", "status", "bytes_in",
                            "bytes_out", "ms", "verdict"}) {
        EXPECT_TRUE(line.contains(key)) << key << " in " << line;
    }
    EXPECT_EQ(line["status"], 200);
    EXPECT_EQ(line["verdict"], "Passed");
    EXPECT_EQ(line["remote"], "127.0.0.1");
    EXPECT_NE(Send(service.Port(), http::verb::get, "/metrics", "")
                  .body.find("vrel_reviews_cancelled_total{reason=\"client_gone\"} 1"),
              std::string::npos);
}

// SIGTERM: /readyz turns 503 while everything else is still answered. At the end of the drain
// the queued review and the one under way are answered 503 at once, though the work under way
// cannot be interrupted, and Run returns within a second, leaving that work to the exit.
TEST(ServeHostile, DrainTimeline) {
    Gate gate(true);
    LogLines log;
    ServiceOptions options = Gated(gate, log);
    options.limits.drain_timeout = std::chrono::seconds(2);
    auto service = std::make_unique<Running>(options);
    const uint16_t port = service->Port();
    EXPECT_EQ(Send(port, http::verb::get, "/readyz", "").status, 200);
    RawClient running(port), queued(port);
    running.Write(PhotoRequest("passed-grey-600x800.jpg"));
    gate.WaitStarted(1);
    queued.Write(PhotoRequest("passed-grey-600x800.jpg"));
    const auto drained = std::chrono::steady_clock::now();
    service->Service().Drain();
    log.WaitFor("draining");
    const Answer ready = Send(port, http::verb::get, "/readyz", "");
    EXPECT_EQ(ready.status, 503);
    EXPECT_EQ(ready.AsJson()["status"], "draining");
    const Answer alive = Send(port, http::verb::get, "/healthz", "");
    EXPECT_EQ(alive.status, 200);
    EXPECT_EQ(alive.headers.at("Connection"), "close"); // clients move on to other instances
    for (RawClient* client : {&running, &queued}) {
        const std::string answer = client->ReadAll();
        EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer.substr(0, 100);
    }
    EXPECT_EQ(service->WaitForRun(), std::optional<size_t>(1)); // the deaf one still runs
    EXPECT_LT(std::chrono::steady_clock::now() - drained,
              options.limits.drain_timeout + std::chrono::seconds(2));
    gate.Open();
    service.reset();
    EXPECT_FALSE(log.WaitFor("\"route\":\"/api/v1/review\",\"status\":503").empty());
}

// A second SIGTERM stops at once: what runs and what waits are answered 503, though the drain
// would have lasted a minute and the work under way cannot be interrupted.
TEST(ServeHostile, ASecondSignalStopsAtOnce) {
    Gate gate(true);
    LogLines log;
    ServiceOptions options = Gated(gate, log);
    options.limits.drain_timeout = std::chrono::seconds(60);
    auto service = std::make_unique<Running>(options, true);
    const uint16_t port = service->Port();
    RawClient running(port), queued(port);
    running.Write(PhotoRequest("passed-grey-600x800.jpg"));
    gate.WaitStarted(1);
    queued.Write(PhotoRequest("passed-grey-600x800.jpg"));
    for (int i = 0; i < 600; ++i) { // until the second photo is queued
        if (Send(port, http::verb::get, "/metrics", "").body.find("vrel_queue_depth 1") !=
            std::string::npos) {
            break;
        }
    }
    std::raise(SIGTERM);
    log.WaitFor("draining");
    const auto second = std::chrono::steady_clock::now();
    std::raise(SIGTERM);
    for (RawClient* client : {&running, &queued}) {
        const std::string answer = client->ReadAll();
        EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer.substr(0, 100);
    }
    EXPECT_EQ(service->WaitForRun(), std::optional<size_t>(1));
    EXPECT_LT(std::chrono::steady_clock::now() - second, std::chrono::seconds(3));
    gate.Open();
}

// At the connection limit the connection that has sent least for its age makes room: one that
// waits, one that trickles its head, one that trickles its photo (told 503). Probes always get
// in.
TEST(ServeHostile, SlowConnectionsMakeRoomAtTheLimit) {
    const struct {
        const char* what;
        std::string head;
        std::string body; // sent once the service has asked for it (100 Continue)
        const char* told;
    } cases[] = {
        {"waiting", "", "", ""},
        {"a head begun", "POST /api/v1/review HTTP/1.1\r\nHost: x\r\n", "", ""},
        {"one byte of a photo",
         Head("Host: x\r\nContent-Length: 100000\r\nExpect: 100-continue\r\n"), "x",
         "HTTP/1.1 503"},
    };
    for (const auto& c : cases) {
        ServiceOptions options = Running::Defaults();
        options.limits.max_connections = 16;
        Running service(options);
        std::vector<std::unique_ptr<RawClient>> slow;
        for (int i = 0; i < 40; ++i) {
            slow.push_back(std::make_unique<RawClient>(service.Port()));
            slow.back()->Write(c.head);
            if (!c.body.empty()) {
                ASSERT_EQ(slow.back()->ReadUntil("\r\n\r\n").rfind("HTTP/1.1 100", 0), 0u)
                    << c.what << " " << i;
                slow.back()->Write(c.body);
            }
        }
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(Send(service.Port(), http::verb::get, "/healthz", "").status, 200) << c.what;
        }
        const std::string first = slow.front()->ReadAll();
        EXPECT_EQ(first.rfind(c.told, 0), 0u) << c.what << ": " << first.substr(0, 80);
        EXPECT_NE(Send(service.Port(), http::verb::get, "/metrics", "")
                      .body.find("vrel_connections_ended_total{reason=\"evicted\"}"),
                  std::string::npos)
            << c.what;
    }
}

// A declared length holds no memory until its bytes come: clients that send heads and wait
// lock out no one.
TEST(ServeHostile, HeadsAloneHoldNoBodyMemory) {
    ServiceOptions options = Running::Defaults();
    options.limits.body_memory_budget = 21 << 20; // one declared 20 MB upload, were it taken
    Running service(options);
    std::vector<std::unique_ptr<RawClient>> heads;
    for (int i = 0; i < 22; ++i) {
        heads.push_back(std::make_unique<RawClient>(service.Port()));
        heads.back()->Write(
            Head("Host: x\r\nContent-Length: 20000000\r\nExpect: 100-continue\r\n"));
        const std::string answer = heads.back()->ReadUntil("\r\n\r\n");
        ASSERT_EQ(answer.rfind("HTTP/1.1 100", 0), 0u) << i << ": " << answer.substr(0, 80);
    }
    EXPECT_EQ(Post(service.Port(), "/api/v1/review", "passed-grey-600x800.jpg").status, 200);
}

// An upload that trickles in is cut off once it falls below the minimum rate, and its memory
// is free again for others.
TEST(ServeHostile, TricklingUploadsAreCutOff) {
    ServiceOptions options = Running::Defaults();
    options.limits.body_grace = std::chrono::seconds(1);
    options.limits.body_memory_budget = 21 << 20; // room for one declared 20 MB upload
    Running service(options);
    RawClient trickle(service.Port());
    trickle.Write(Head("Host: x\r\nContent-Length: 20000000\r\n", "x"));
    const std::string answer = trickle.ReadAll();
    EXPECT_EQ(answer.rfind("HTTP/1.1 408", 0), 0u) << answer.substr(0, 100);
    EXPECT_EQ(Post(service.Port(), "/api/v1/review", "passed-grey-600x800.jpg").status, 200);
}

// The budget is shared: a photo whose share would pass it while another is under review waits,
// then gets 503 with Retry-After.
TEST(ServeHostile, ThePixelBudgetIsNeverOverrun) {
    Gate gate;
    ServiceOptions options = Running::Defaults();
    options.handler = gate.Handler();
    // Room for the review of one 600 x 800 JPEG at a time.
    options.limits.pixel_budget = ChargedPixels(false, {ImageFormat::Jpeg, 600, 800});
    options.limits.pixel_budget_wait = std::chrono::milliseconds(0);
    Running service(options);
    RawClient first(service.Port());
    first.Write(PhotoRequest("passed-grey-600x800.jpg"));
    gate.WaitStarted(1);
    const Answer second = Post(service.Port(), "/api/v1/review", "passed-white-1200x1600.jpg");
    EXPECT_EQ(second.status, 503);
    EXPECT_EQ(second.headers.at("Retry-After"), "1");
    EXPECT_EQ(Send(service.Port(), http::verb::get, "/readyz", "").status, 503); // saturated
    gate.Open();
    EXPECT_EQ(first.ReadUntil("stopped").rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_NE(Send(service.Port(), http::verb::get, "/metrics", "")
                  .body.find("vrel_busy_total{cause=\"pixel_budget\"} 1"),
              std::string::npos);

    PixelBudget budget(100);
    EXPECT_TRUE(budget.Take(60, std::chrono::milliseconds(0)));
    EXPECT_FALSE(budget.Take(60, std::chrono::milliseconds(0)));
    EXPECT_FALSE(budget.Take(500, std::chrono::milliseconds(0)));
    budget.Give(60);
    EXPECT_TRUE(budget.Take(500, std::chrono::milliseconds(0))); // the whole budget, no more
    EXPECT_EQ(budget.Used(), 100);
}

// The review's time limit reaches the work.
TEST(ServeHostile, AReviewStopsAtItsTimeLimit) {
    Gate gate;
    ServiceOptions options = Running::Defaults();
    options.handler = gate.Handler();
    options.limits.review_timeout = std::chrono::seconds(1);
    Running service(options);
    const Answer a = Post(service.Port(), "/api/v1/review", "passed-grey-600x800.jpg");
    EXPECT_EQ(a.AsJson()["stopped"], "the review took longer than its time limit");
}

// What a pipe holds: everything written to it, read on a thread of its own once started.
class PipeReader {
public:
    explicit PipeReader(int fd) : fd_(fd) {}
    ~PipeReader() { Stop(); }
    void Start() {
        thread_ = std::thread([this] {
            char buffer[65536];
            for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
                text_.append(buffer, static_cast<size_t>(n));
            }
        });
    }
    // The text read until the writer's end closed.
    const std::string& Stop() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return text_;
    }

private:
    int fd_;
    std::string text_;
    std::thread thread_;
};

// A reader of the log that stops reading costs lines, whole ones, and never the writer; once
// it reads again every line queued gets through; a reader that is gone costs every line.
TEST(ServeHostile, TheLogWriterDropsWholeLinesWhenItsReaderStallsOrGoes) {
    std::signal(SIGPIPE, SIG_IGN); // as vrel-serve does
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::string line(200, 'x');
    PipeReader reader(ends[0]);
    {
        LogWriter writer(ends[1], 64 * 1024);
        // A megabyte, with nobody reading: the pipe and the queue hold about 128 KB of it.
        for (int i = 0; i < 5000; ++i) {
            writer.Write(line);
        }
        const uint64_t dropped = writer.Dropped();
        EXPECT_GT(dropped, 4000u);
        reader.Start();
        EXPECT_TRUE(writer.Flush(std::chrono::seconds(60)));
        EXPECT_EQ(writer.Dropped(), dropped); // what was queued is written once read again
    }
    close(ends[1]);
    const std::string& text = reader.Stop();
    close(ends[0]);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.size() % (line.size() + 1), 0u);
    EXPECT_EQ(text.find_first_not_of(line.substr(0, 1) + "\n"), std::string::npos);

    // A reader that never comes back: the end drops what is left at once after its second,
    // not a line at a time.
    ASSERT_EQ(pipe(ends), 0);
    const auto start = std::chrono::steady_clock::now();
    {
        LogWriter stalled(ends[1], 256 * 1024);
        for (int i = 0; i < 5000; ++i) {
            stalled.Write(line);
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    close(ends[0]);
    close(ends[1]);

    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    LogWriter gone(ends[1]);
    for (int i = 0; i < 10; ++i) {
        gone.Write(line);
    }
    EXPECT_TRUE(gone.Flush(std::chrono::seconds(60)));
    EXPECT_EQ(gone.Dropped(), 10u);
    close(ends[1]);
}

// vrel-serve as a process: started with its standard error on a pipe, its port read from the
// first line of its standard output.
class ServeProcess {
public:
    explicit ServeProcess(const std::vector<std::string>& extra = {}) {
        int out[2];
        if (pipe(out) != 0 || pipe(err_) != 0) {
            throw std::runtime_error("no pipe");
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err_[1], 2);
            for (int fd : {out[0], out[1], err_[0], err_[1]}) {
                close(fd);
            }
            std::vector<std::string> argv = {
                VREL_SERVE_EXE, "--listen", "127.0.0.1:0", "--data-dir", VREL_APP_DIR,
                "--jobs",       "1"};
            argv.insert(argv.end(), extra.begin(), extra.end());
            std::vector<char*> args;
            for (std::string& a : argv) {
                args.push_back(a.data());
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        close(err_[1]);
        std::string first;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
            first += c;
        }
        close(out[0]);
        const size_t colon = first.rfind(':');
        if (first.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
            throw std::runtime_error("vrel-serve did not start: " + first);
        }
        port_ = static_cast<uint16_t>(std::stoi(first.substr(colon + 1)));
    }
    ~ServeProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        CloseLog();
    }
    uint16_t Port() const { return port_; }
    int LogFd() const { return err_[0]; }
    void CloseLog() {
        if (err_[0] >= 0) {
            close(err_[0]);
            err_[0] = -1;
        }
    }
    bool Alive() const { return waitpid(pid_, nullptr, WNOHANG) == 0; }
    // Sends the signal and waits for the exit; its status, or -1 where a signal ended it.
    int StopWith(int signal) {
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int err_[2] = {-1, -1};
    uint16_t port_ = 0;
};

// A reader of standard error that stalls, or goes away, costs log lines (counted), never an
// answer: the requests are answered, the probes too, and SIGHUP drains and stops the service
// as SIGTERM does, with status 0.
TEST(ServeProcess, ItsLogReaderStallingOrGoingAwayNeverStopsIt) {
    ServeProcess service({"--drain-seconds", "1"});
    // Each line names the long path: far more than the pipe and the log's queue hold.
    const std::string path = "/" + std::string(6000, 'p');
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(Send(service.Port(), http::verb::get, path, "").status, 404) << i;
    }
    EXPECT_EQ(Send(service.Port(), http::verb::get, "/healthz", "").status, 200);
    const std::string metrics = Send(service.Port(), http::verb::get, "/metrics", "").body;
    std::smatch dropped;
    ASSERT_TRUE(
        std::regex_search(metrics, dropped, std::regex("vrel_log_lines_dropped_total ([0-9]+)")));
    EXPECT_GT(std::stoi(dropped[1]), 0);
    service.CloseLog(); // the reader goes: writing to it would raise SIGPIPE
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Send(service.Port(), http::verb::get, "/readyz", "").status, 200) << i;
    }
    EXPECT_TRUE(service.Alive());
    EXPECT_EQ(service.StopWith(SIGHUP), 0);
}

} // namespace
} // namespace vrel::serve
