#pragma once
// A vrel-serve started inside a test on an ephemeral loopback port, and clients for it: a
// well-behaved one (Beast) and a raw one for clients that misbehave.
#include "serve/http_server.h"

#include "test_support.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vrel::serve::test_client {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using test::Bytes;

// A service on 127.0.0.1 with a port of its own, run on a thread of the test.
class Running {
public:
    // signals: the service takes SIGTERM, SIGINT and SIGHUP as vrel-serve does.
    explicit Running(ServiceOptions options = Defaults(), bool signals = false)
        : service_(std::move(options)) {
        if (const Error error = service_.Listen()) {
            throw std::runtime_error(error.Detail());
        }
        thread_ = std::thread([this, signals] {
            const size_t abandoned = service_.Run(signals);
            std::lock_guard<std::mutex> lock(mutex_);
            abandoned_ = abandoned;
            returned_.notify_all();
        });
    }
    ~Running() {
        service_.Stop();
        thread_.join();
    }
    uint16_t Port() { return service_.Port(); }
    HttpService& Service() { return service_; }
    // Waits for Run to return (at most a minute): the reviews it left running, or nothing
    // where it has not returned.
    std::optional<size_t> WaitForRun() {
        std::unique_lock<std::mutex> lock(mutex_);
        returned_.wait_for(lock, std::chrono::seconds(60), [&] { return abandoned_.has_value(); });
        return abandoned_;
    }

    static ServiceOptions Defaults() {
        ServiceOptions o;
        o.port = 0;
        o.pool.kit.settings = test::ShippedSettings();
        o.pool.kit.data_dir = test::AppDataDir();
        o.pool.jobs = 2;
        o.pool.kit.review.reuse_detector = true;
        o.pool.kit.review.ignore_marker = true;
        o.limits.queue = o.pool.queue = 16;
        return o;
    }

private:
    HttpService service_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::optional<size_t> abandoned_;
};

struct Answer {
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers;
    Json AsJson() const { return Json::parse(body); }
};

inline Answer Send(uint16_t port, http::verb method, const std::string& target,
                   const std::string& body, const std::string& type = "application/octet-stream") {
    net::io_context io;
    beast::tcp_stream stream(io);
    stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    http::request<http::string_body> req(method, target, 11);
    req.set(http::field::host, "127.0.0.1");
    if (!body.empty()) {
        req.set(http::field::content_type, type);
    }
    req.body() = body;
    req.prepare_payload();
    http::write(stream, req);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 << 20);
    http::read(stream, buffer, parser);
    Answer a;
    a.status = static_cast<int>(parser.get().result_int());
    a.body = parser.get().body();
    for (const auto& field : parser.get()) {
        a.headers[std::string(field.name_string())] = std::string(field.value());
    }
    return a;
}

inline std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

inline std::string Multipart(const std::string& field, const std::string& filename,
                             const std::string& content, const std::string& boundary = "XyZ-42") {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field +
           "\"; filename=\"" + filename + "\"\r\nContent-Type: image/jpeg\r\n\r\n" + content +
           "\r\n--" + boundary + "--\r\n";
}

inline const std::string kMultipartType = "multipart/form-data; boundary=XyZ-42";

inline Answer Post(uint16_t port, const std::string& route, const std::string& sample) {
    return Send(port, http::verb::post, route,
                Multipart("photo", sample, Text(test::ReadBytes(test::SamplePath(sample)))),
                kMultipartType);
}

// A raw connection, for clients that misbehave. Reads wait on the connection, never on a clock,
// up to a generous bound.
class RawClient {
public:
    explicit RawClient(uint16_t port) : socket_(io_) {
        socket_.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    }
    void Write(const std::string& bytes) { net::write(socket_, net::buffer(bytes)); }
    // Everything until the server closes (or, at the latest, until within has passed).
    std::string ReadAll(std::chrono::seconds within = std::chrono::seconds(30)) {
        return ReadUntil("", within);
    }
    // What came until it holds the text (empty: until the server closes).
    std::string ReadUntil(const std::string& text,
                          std::chrono::seconds within = std::chrono::seconds(30)) {
        std::string got;
        std::array<char, 4096> buffer{};
        std::function<void()> next = [&] {
            socket_.async_read_some(net::buffer(buffer), [&](beast::error_code ec, size_t n) {
                got.append(buffer.data(), n);
                if (!ec && (text.empty() || got.find(text) == std::string::npos)) {
                    next();
                }
            });
        };
        next();
        io_.restart();
        io_.run_for(within);
        return got;
    }
    void Close() {
        beast::error_code ignored;
        socket_.close(ignored);
    }

private:
    net::io_context io_;
    tcp::socket socket_;
};

} // namespace vrel::serve::test_client
