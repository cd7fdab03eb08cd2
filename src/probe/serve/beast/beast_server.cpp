#include "probe/serve/beast/beast_server.h"

#include "probe/serve/beast/connections.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>

namespace qz::probe {

namespace beast_server {

namespace {

std::string PeerText(const tcp::endpoint& peer)
{
    const std::string address = peer.address().to_string();
    return (peer.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(peer.port());
}

} // namespace

std::optional<std::string> BeastServer::AddressText(std::string_view text) const
{
    ErrorCode error;
    const net::ip::address address = net::ip::make_address(std::string(text), error);
    if (error) {
        return std::nullopt;
    }
    return address.to_string();
}

std::optional<WebServer::ListenFailure> BeastServer::Listen(
    const std::vector<std::string>& addresses, const std::vector<std::string>& ifAvailable, std::uint16_t port)
{
    // Port 0: the port the first address was given, on every address; should
    // another program hold it on another address, try again.
    for (int attempt = 0; attempt < (port == 0 ? 20 : 1); ++attempt) {
        acceptors_.clear();
        addresses_.clear();
        std::uint16_t chosen = port;
        std::optional<ListenFailure> failure;
        const auto listenOn = [&](const std::string& text, bool optional) {
            ErrorCode error;
            const net::ip::address address = net::ip::make_address(text, error);
            auto acceptor = std::make_unique<tcp::acceptor>(io_);
            const tcp::endpoint endpoint(address, chosen);
            if (!error) {
                acceptor->open(endpoint.protocol(), error);
            }
            if (!error && address.is_v6()) {
                acceptor->set_option(net::ip::v6_only(true), error);
            }
            if (!error) {
                acceptor->set_option(tcp::acceptor::reuse_address(true), error);
            }
            if (!error) {
                acceptor->bind(endpoint, error);
            }
            if (!error) {
                acceptor->listen(net::socket_base::max_listen_connections, error);
            }
            if (error) {
                const bool absent = error == net::error::address_family_not_supported
                    || error == boost::system::errc::address_not_available;
                if (!(optional && absent)) {
                    failure = ListenFailure {text, error.value()};
                }
                return;
            }
            chosen = acceptor->local_endpoint().port();
            addresses_.push_back(address.to_string());
            acceptors_.push_back(std::move(acceptor));
        };
        for (const std::string& address : addresses) {
            if (!failure) {
                listenOn(address, false);
            }
        }
        for (const std::string& address : ifAvailable) {
            if (!failure) {
                listenOn(address, true);
            }
        }
        if (!failure) {
            port_ = chosen;
            for (const auto& acceptor : acceptors_) {
                Accept(*acceptor);
            }
            return std::nullopt;
        }
        acceptors_.clear();
        addresses_.clear();
        if (port != 0 || failure->error != EADDRINUSE) {
            return failure;
        }
    }
    return ListenFailure {addresses.empty() ? std::string() : addresses.front(), EADDRINUSE};
}

void BeastServer::Accept(tcp::acceptor& acceptor)
{
    acceptor.async_accept([this, &acceptor](const ErrorCode& error, tcp::socket socket) {
        if (error == net::error::operation_aborted || stopping_) {
            return;
        }
        if (!error) {
            OnAccepted(std::move(socket));
            Accept(acceptor);
            return;
        }
        // Out of descriptors, say: look again a little later rather than at
        // once and again and again.
        After(std::chrono::milliseconds(100), [this, &acceptor]() {
            if (!stopping_) {
                Accept(acceptor);
            }
        });
    });
}

void BeastServer::OnAccepted(tcp::socket socket)
{
    const bool overLimit = connections_ >= kMaxConnections;
    if (overLimit && overLimit_ >= kMaxConnections) {
        return; // closed at once: even the refusals are at their limit
    }
    ErrorCode ignored;
    socket.set_option(tcp::no_delay(true), ignored); // each frame leaves at once
    socket.set_option(net::socket_base::send_buffer_size(kSendBufferBytes), ignored);
    std::make_shared<HttpSession>(*this, std::move(socket), overLimit)->Start();
}

void BeastServer::Upgrade(tcp::socket socket, Slot slot, Request request, Clock::time_point deadline)
{
    ErrorCode error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    auto client = std::make_shared<WsClient>(
        *this, ++lastClient_, std::move(socket), std::move(slot), error ? std::string("?") : PeerText(peer));
    client->Accept(std::move(request), deadline);
}

void BeastServer::WhenReadable(int fd, std::function<void(bool waitable)> ready)
{
    if (!descriptors_.Wait(fd, [ready]() { ready(true); })) {
        net::post(io_, [ready = std::move(ready)]() { ready(false); });
    }
}

void BeastServer::Forget(int fd)
{
    descriptors_.Forget(fd);
}

void BeastServer::After(std::chrono::milliseconds delay, std::function<void()> due)
{
    deadlines_.After(delay, [this, due = std::move(due)]() {
        if (!stopping_) {
            due();
        }
    });
}

void BeastServer::Send(ClientId client, const Frame& frame)
{
    if (const auto found = clients_.find(client); found != clients_.end()) {
        found->second->Send(frame);
    }
}

void BeastServer::Broadcast(const Frame& frame)
{
    for (const auto& [id, client] : clients_) {
        client->Send(frame);
    }
}

void BeastServer::Stop()
{
    if (stopping_) {
        return;
    }
    stopping_ = true;
    ErrorCode ignored;
    for (const auto& acceptor : acceptors_) {
        acceptor->close(ignored);
    }
    descriptors_.Clear();
    if (clients_.empty()) {
        io_.stop();
        return;
    }
    const auto clients = clients_;
    for (const auto& [id, client] : clients) {
        client->Close(websocket::close_code::going_away, Departure::Ending);
    }
    // The loop ends once every client has gone, and at the latest a moment
    // after each close has had its time (connections still in their request
    // are cut).
    deadlines_.After(kCloseTime + std::chrono::milliseconds(500), [this]() { io_.stop(); });
}

void BeastServer::Closed(ClientId id)
{
    clients_.erase(id);
    if (stopping_ && clients_.empty()) {
        io_.stop();
    }
}

} // namespace beast_server

std::unique_ptr<WebServer> MakeBeastServer(WebEvents& events)
{
    return std::make_unique<beast_server::BeastServer>(events);
}

} // namespace qz::probe
