#pragma once

// A TCP connection to a server on this computer, written and read byte by
// byte, so that a test can send what no well-behaved client would: any HTTP
// request, and WebSocket frames of any kind (RFC 6455: a client masks its
// frames, a server does not). Also the network namespace those tests run in.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qz::test {

// The address that tests reach a server at from outside loopback (TEST-NET-1,
// meant for examples; it exists only inside EnterPrivateNetwork's namespace).
inline constexpr const char* kOutsideAddress = "192.0.2.1";

// Moves this process, and what it starts from now on, into a network
// namespace of its own: loopback up (the test VM's init leaves it down), with
// kOutsideAddress on it too, which a server sees as a peer that is not
// loopback. Nothing there reaches another computer, and no other program's
// ports are in the way. false when this process may not (it takes root).
bool EnterPrivateNetwork();

struct HttpResponse {
    int status = 0;
    std::string head; // the status line and the headers, as sent
    std::string body; // up to the end of the connection; none after a 101
};

struct WsFrame {
    int opcode = 0; // 1 text, 2 binary, 8 close
    std::string payload;
    int CloseCode() const
    {
        return opcode == 8 && payload.size() >= 2 ? (payload[0] & 0xFF) << 8 | (payload[1] & 0xFF) : -1;
    }
};

class RawConnection {
public:
    // Connects to an IPv4 address; a receive buffer of `receiveBuffer` bytes
    // when given (a client that reads nothing fills it at once).
    static std::unique_ptr<RawConnection> Open(const std::string& address, std::uint16_t port, int receiveBuffer = 0);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    int Fd() const { return fd_; }
    bool Write(std::string_view bytes);
    // One WebSocket frame, masked, as a client sends it.
    bool SendFrame(int opcode, std::string_view payload);

    // The response; nullopt when none came within `patience`.
    std::optional<HttpResponse> ReadResponse(std::chrono::milliseconds patience = std::chrono::seconds(10));
    // The next frame; nullopt when none came within `patience`.
    std::optional<WsFrame> ReadFrame(std::chrono::milliseconds patience = std::chrono::seconds(10));
    // True when the server ended the connection within `patience`.
    bool Ended(std::chrono::milliseconds patience);

    // For a test that reads many connections in one poll(): what is there
    // now (false once the connection has ended), and the frames it makes.
    bool ReadAvailable();
    std::optional<WsFrame> TakeFrame();

private:
    explicit RawConnection(int fd)
        : fd_(fd)
    {
    }
    bool Await(std::chrono::steady_clock::time_point until);

    int fd_;
    std::string buffer_;
    bool ended_ = false;
};

// A GET request: Host unless empty, Origin when given, and the headers that
// ask for a WebSocket when `upgrade`.
std::string GetRequest(const std::string& target, const std::string& host,
    const std::optional<std::string>& origin = std::nullopt, bool upgrade = false);

} // namespace qz::test
