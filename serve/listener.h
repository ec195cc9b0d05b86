#pragma once

#include "base/error.h"
#include "serve/service_state.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace vrel::serve {

// Takes the connections. At the connection limit it makes room: the connection that has sent
// least for its age goes (one that waits for a request, or one that reads a head or a photo
// slowly), so that probes and clients that send always get in. A connection is refused only
// when every one has a review under way or an answer being written.
class Listener {
public:
    explicit Listener(ServiceState& state);
    // Binds the address; the error says why it cannot.
    Error Open(const std::string& address, uint16_t port);
    uint16_t Port() const;
    void Accept();
    void Close();
    // Closes the connection that has sent least for its age; false when none reads.
    bool MakeRoom();

private:
    void OnAccepted(boost::asio::ip::tcp::socket socket);
    void RetryAccept(const boost::system::error_code& ec);

    ServiceState& s_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_timer_; // waits after a failed accept before the next
    std::chrono::milliseconds backoff_{0};
};

} // namespace vrel::serve
