#pragma once

// The connections of the server on Boost.Beast, and the server itself, as
// its two source files share them: connections.cpp (the HTTP request and
// the WebSocket client) and beast_server.cpp (listening, accepting and the
// clients' map). Nothing outside this folder includes it.

#include "probe/serve/beast/event_sources.h"
#include "probe/serve/send_queue.h"
#include "probe/serve/serve_limits.h"
#include "probe/serve/web_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <map>
#include <memory>
#include <utility>

namespace qz::probe::beast_server {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;
using Request = http::request<http::empty_body>;

constexpr const char* kServerName = "qz470-probe";

class BeastServer;

// A place among the connections that count toward a limit, held for as long
// as the connection lives, from its HTTP request to its WebSocket's end.
class Slot {
public:
    explicit Slot(std::size_t& count)
        : count_(&count)
    {
        ++*count_;
    }
    ~Slot()
    {
        if (count_ != nullptr) {
            --*count_;
        }
    }
    Slot(Slot&& other) noexcept
        : count_(std::exchange(other.count_, nullptr))
    {
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    Slot& operator=(Slot&&) = delete;

private:
    std::size_t* count_;
};

// One WebSocket client, from the upgrade to its end.
class WsClient : public std::enable_shared_from_this<WsClient> {
public:
    WsClient(BeastServer& server, ClientId id, tcp::socket socket, Slot slot, std::string peer);

    void Accept(Request request, Clock::time_point deadline);
    void Send(const Frame& frame);
    // Starts the closing handshake; the connection ends at the latest after
    // kCloseTime, answered or not.
    void Close(websocket::close_code code, Departure why);

private:
    void Read();
    void OnRead(const ErrorCode& error);
    void Write(const Frame& frame);
    void Abort();
    void Finish(Departure why);

    BeastServer& server_;
    ClientId id_;
    websocket::stream<tcp::socket> ws_;
    Deadlines::Id deadline_ = 0;
    Slot slot_;
    std::string peer_;
    beast::flat_buffer buffer_;
    SendQueue queue_ {kMaxQueuedFrames};
    bool open_ = false; // accepted, and its end not yet told
    bool reading_ = false;
    bool closing_ = false;
    Departure why_ = Departure::Left;
};

// One connection before its upgrade: the request read within the limits,
// then the answer, or the upgrade.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(BeastServer& server, tcp::socket socket, bool overLimit);
    void Start();

private:
    void OnRead(const ErrorCode& error);
    void Respond(const HttpAnswer& answer);
    void Linger();

    BeastServer& server_;
    tcp::socket socket_;
    Clock::time_point handshakeEnd_;
    Deadlines::Id deadline_ = 0;
    Slot slot_;
    bool overLimit_;
    beast::flat_buffer buffer_;
    http::request_parser<http::empty_body> parser_;
    http::response<http::string_body> response_;
    char scratch_[512] = {};
};

class BeastServer final : public WebServer {
public:
    explicit BeastServer(WebEvents& events)
        : events_(events)
    {
    }
    ~BeastServer() override { clients_.clear(); }

    std::optional<std::string> AddressText(std::string_view text) const override;
    std::optional<ListenFailure> Listen(const std::vector<std::string>& addresses,
        const std::vector<std::string>& ifAvailable, std::uint16_t port) override;
    std::uint16_t Port() const override { return port_; }
    std::vector<std::string> Addresses() const override { return addresses_; }
    void WhenReadable(int fd, std::function<void(bool waitable)> ready) override;
    void Forget(int fd) override;
    void After(std::chrono::milliseconds delay, std::function<void()> due) override;
    void Send(ClientId client, const Frame& frame) override;
    void Broadcast(const Frame& frame) override;
    void Run() override { io_.run(); }
    void Stop() override;

    WebEvents& Events() { return events_; }
    Deadlines& Timers() { return deadlines_; }
    void Upgrade(tcp::socket socket, Slot slot, Request request, Clock::time_point deadline);
    void Opened(const std::shared_ptr<WsClient>& client, ClientId id) { clients_[id] = client; }
    void Closed(ClientId id);
    std::size_t& Connections() { return connections_; }
    std::size_t& OverLimit() { return overLimit_; }

private:
    void Accept(tcp::acceptor& acceptor);
    void OnAccepted(tcp::socket socket);

    WebEvents& events_;
    // Counted before the io_context is destroyed, which destroys the
    // connections that its pending handlers still hold.
    std::size_t connections_ = 0;
    std::size_t overLimit_ = 0;
    net::io_context io_ {1};
    Deadlines deadlines_ {io_};
    Descriptors descriptors_ {io_};
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
    std::vector<std::string> addresses_;
    std::uint16_t port_ = 0;
    std::map<ClientId, std::shared_ptr<WsClient>> clients_;
    ClientId lastClient_ = 0;
    bool stopping_ = false;
};

} // namespace qz::probe::beast_server
