#include "serve/listener.h"

#include "serve/connection.h"

#include <boost/asio.hpp>

namespace vrel::serve {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using std::chrono::milliseconds;

Listener::Listener(ServiceState& state) : s_(state), acceptor_(state.io), retry_timer_(state.io) {}

Error Listener::Open(const std::string& address_text, uint16_t port) {
    boost::system::error_code ec;
    const auto address = net::ip::make_address(address_text, ec);
    if (ec) {
        return {ErrorCode::Invalid, "not an address: '" + address_text + "'"};
    }
    const tcp::endpoint endpoint(address, port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor_.set_option(net::socket_base::reuse_address(true), ec);
        acceptor_.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor_.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        const std::string shown = address.is_v6() ? "[" + address_text + "]" : address_text;
        return {ErrorCode::Invalid,
                "cannot listen on " + shown + ":" + std::to_string(port) + ": " + ec.message()};
    }
    return {};
}

uint16_t Listener::Port() const {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void Listener::Accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (ec) {
            return RetryAccept(ec);
        }
        backoff_ = milliseconds(0);
        OnAccepted(std::move(socket));
        Accept();
    });
}

void Listener::Close() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_timer_.cancel();
}

// Out of descriptors (or another failure): a connection is let go, and the next accept waits
// a little longer each time, so that the loop never spins.
void Listener::RetryAccept(const boost::system::error_code& ec) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) {
        return;
    }
    if (backoff_.count() == 0) {
        s_.log.Event("accept failed", ec.message());
    }
    MakeRoom();
    backoff_ = std::min(milliseconds(1000), std::max(milliseconds(10), 2 * backoff_));
    retry_timer_.expires_after(backoff_);
    retry_timer_.async_wait([this](boost::system::error_code wait) {
        if (!wait && acceptor_.is_open()) {
            Accept();
        }
    });
}

void Listener::OnAccepted(tcp::socket socket) {
    if (s_.phase == Phase::Stopping) {
        boost::system::error_code ignored;
        socket.close(ignored);
        return;
    }
    if (s_.connections >= s_.options.limits.max_connections && !MakeRoom()) {
        s_.metrics.ConnectionEnded("refused");
        boost::system::error_code ignored;
        socket.close(ignored); // every connection is busy: this one is closed as it comes
        return;
    }
    std::make_shared<Connection>(std::move(socket), s_)->Start();
}

bool Listener::MakeRoom() {
    const auto now = Clock::now();
    std::shared_ptr<Connection> slowest;
    double lowest = 0;
    for (const auto& weak : s_.connected) {
        auto connection = weak.lock();
        if (!connection) {
            continue;
        }
        const std::optional<double> rate = connection->SendingRate(now);
        if (rate && (!slowest || *rate < lowest)) {
            slowest = std::move(connection);
            lowest = *rate;
        }
    }
    if (!slowest) {
        return false;
    }
    slowest->Evict();
    return true;
}

} // namespace vrel::serve
