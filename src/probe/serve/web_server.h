#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz::probe {

// What `serve` asks of an HTTP and WebSocket server, and what the server
// tells it. The realisation (serve/beast) runs one event loop of its own on
// which everything of `serve` happens, the descriptors it is handed
// included; nothing here waits.

// A WebSocket client, numbered from 1 in the order they were accepted.
using ClientId = std::uint64_t;

// One text frame, shared by every client it goes to.
using Frame = std::shared_ptr<const std::string>;

// What the server read of a request, before it answers.
struct RequestHead {
    std::string method;
    std::string target; // as sent: path and query
    std::optional<std::string> host; // the Host header, when there is one
    std::optional<std::string> origin; // the Origin header, when there is one
    bool upgrade = false; // asks for a WebSocket (Connection: Upgrade, Upgrade: websocket)
    bool fromLoopback = false; // the peer's address is a loopback address
};

// How to answer a request: a response that ends the connection, or the
// upgrade to a WebSocket.
struct HttpAnswer {
    bool upgrade = false;
    int status = 404;
    std::vector<std::pair<std::string, std::string>> headers; // besides Content-Type and Connection: close
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
};

// Why a client is gone.
enum class Departure {
    Left, // it closed the WebSocket or the connection
    Refused, // it broke a rule of the protocol: a binary or oversized message, a bad frame
    Dropped, // it fell behind: its queue and send buffer were full
    Ending, // the server ends
};

class WebEvents {
public:
    virtual ~WebEvents() = default;
    // Every request that arrived whole within the limits.
    virtual HttpAnswer OnRequest(const RequestHead& head) = 0;
    // A WebSocket is open: its first frame may be sent now. `peer` is the
    // address and port it came from, for people.
    virtual void OnOpen(ClientId client, const std::string& peer) = 0;
    // A text message of the client.
    virtual void OnMessage(ClientId client, std::string_view text) = 0;
    virtual void OnClose(ClientId client, Departure why) = 0;
};

class WebServer {
public:
    virtual ~WebServer() = default;

    // The text an IP address is written as (the loopback and link addresses
    // of IPv6 without brackets); nullopt when `text` is no IP address.
    virtual std::optional<std::string> AddressText(std::string_view text) const = 0;

    struct ListenFailure {
        std::string address;
        int error = 0; // errno
    };
    // Listens on every one of `addresses` at `port`; on `ifAvailable` too,
    // where the system has that address (::1 without IPv6 has not). Port 0:
    // a free port, the same on every address. On failure nothing listens.
    virtual std::optional<ListenFailure> Listen(
        const std::vector<std::string>& addresses, const std::vector<std::string>& ifAvailable, std::uint16_t port)
        = 0;
    virtual std::uint16_t Port() const = 0;
    // The addresses it listens on, as AddressText writes them.
    virtual std::vector<std::string> Addresses() const = 0;

    // Calls `ready` once when `fd` can be read (or has hung up), with false
    // when `fd` is of a kind that cannot be waited on (a regular file); call
    // again to wait again. The descriptor stays its owner's as it is: it is
    // never closed here, and its flags are not changed.
    virtual void WhenReadable(int fd, std::function<void(bool waitable)> ready) = 0;
    virtual void Forget(int fd) = 0;
    // Calls `due` once after `delay`.
    virtual void After(std::chrono::milliseconds delay, std::function<void()> due) = 0;

    // Queues a frame for one client, or for every open one, behind what it
    // was sent before.
    virtual void Send(ClientId client, const Frame& frame) = 0;
    virtual void Broadcast(const Frame& frame) = 0;

    // Runs the loop until Stop(), then closes every connection.
    virtual void Run() = 0;
    virtual void Stop() = 0;
};

} // namespace qz::probe
