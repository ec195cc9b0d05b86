#pragma once

#include "serve/request_gate.h"
#include "serve/service_state.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace vrel::serve {

// One connection: reads a request within its deadlines, has it answered, writes the answer and
// waits for the next. Everything but the review runs on the I/O thread.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Where a connection stands; each stage has its own deadline.
    enum class Stage {
        Head,   // waiting for a request, or reading its head
        Body,   // reading a photo
        Review, // its photo queued or under review
        Write,  // writing an answer
        Linger, // answered and closing: reading what the client still sends for a moment
        Closed,
    };

    Connection(boost::asio::ip::tcp::socket socket, ServiceState& state);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Start();
    Stage Current() const { return stage_; }
    // Waiting for its next request, with nothing of it come.
    bool Idle() const;
    // How much it has sent for the request it reads, per second since it began to wait for
    // it (with a credit of 1 KB, so that a new connection is not the first to go); only a
    // connection that reads can be evicted, and the lowest goes first.
    std::optional<double> SendingRate(Clock::time_point now) const;
    // Closed to make room for another; a photo being read is answered 503 first.
    void Evict();
    // Ends a connection that waits for its next request; one under way finishes first.
    void CloseIfIdle();
    void CloseNow();
    // A stopping service: the review under way is stopped and, like a body being read or
    // queued, answered 503 at once.
    void Cancel();

private:
    void ReadHead(std::chrono::milliseconds timeout);
    void OnHead(boost::beast::error_code ec);
    void RefuseMalformed(boost::beast::error_code ec);
    void StartBody();
    void ReadBody();
    void OnBody(boost::beast::error_code ec);
    enum class BodyStop { None, Idle, Total, TooSlow, Shutdown, Memory, Evicted };
    void StopBody(BodyStop why);
    void Dispatch();
    std::function<void(ServiceTools&)> ReviewJob(std::shared_ptr<Request> request, Upload upload);
    void WatchClient();
    void OnReviewed(Reply reply, CheckVerdict verdict, double seconds, bool dropped);
    void Busy(const std::string& cause, bool close);
    void Answer(Reply reply, bool close);
    void Close();
    void Linger();
    void ReadToEnd();
    // A completion that goes on with next, unless the connection was closed meanwhile or the
    // step failed (then it is closed).
    std::function<void(boost::beast::error_code, size_t)> OrClose(void (Connection::*next)());
    void Begin();
    void Release();
    void LogRequest(int status, size_t bytes_out);
    std::string TooLarge() const;

    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    ServiceState& s_;
    Stage stage_ = Stage::Head;
    ExtensionTally tally_; // the header and chunk extension bytes of the request under way
    std::optional<RequestParser> parser_;
    const Route* route_ = nullptr;
    std::string method_, path_, query_, remote_;
    std::optional<BackdropColour> backdrop_; // asked for by the correction under way
    std::optional<size_t> profile_;          // chosen by the request under way, where it takes one
    bool head_ = false;
    bool keep_alive_ = false;
    bool kept_ = false;    // a request was answered before: waiting now is keep-alive
    bool started_ = false; // a request is under way (counted in flight)
    size_t reserved_ = 0;  // body memory held
    Clock::time_point waiting_since_;
    // The body: its own timer (the stream's would close the connection before the client
    // could be told), why it stopped, its deadlines.
    boost::asio::steady_timer body_timer_;
    BodyStop stop_ = BodyStop::None;
    bool reading_ = false; // a read of the body is pending
    Clock::time_point body_started_, body_deadline_;
    Clock::time_point linger_until_;
    // Raised to stop the review under way; read by the worker.
    std::shared_ptr<std::atomic<bool>> watch_;
    bool client_gone_ = false;
    std::string request_id_;
    Clock::time_point request_start_;
    size_t bytes_in_ = 0;
    std::string verdict_;
    std::string note_;
    std::array<char, 16384> scratch_{};
};

} // namespace vrel::serve
