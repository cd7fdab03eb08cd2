#include "raw_http.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qz::test {

namespace {

using Clock = std::chrono::steady_clock;

// An interface up, with an IPv4 address (a /32) when given.
bool Up(const char* name, const char* address = nullptr)
{
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request {};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    auto* in = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
    in->sin_family = AF_INET;
    bool done = control >= 0;
    if (done && address != nullptr) {
        done = ::inet_pton(AF_INET, address, &in->sin_addr) == 1 && ::ioctl(control, SIOCSIFADDR, &request) == 0
            && ::inet_pton(AF_INET, "255.255.255.255", &in->sin_addr) == 1
            && ::ioctl(control, SIOCSIFNETMASK, &request) == 0;
    }
    done = done && ::ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    done = done && ::ioctl(control, SIOCSIFFLAGS, &request) == 0;
    if (control >= 0) {
        ::close(control);
    }
    return done;
}

} // namespace

bool EnterPrivateNetwork()
{
    return ::unshare(CLONE_NEWNET) == 0 && Up("lo") && Up("lo:1", kOutsideAddress);
}

std::unique_ptr<RawConnection> RawConnection::Open(const std::string& address, std::uint16_t port, int receiveBuffer)
{
    sockaddr_in peer {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (fd < 0 || ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1
        || ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<RawConnection>(new RawConnection(fd));
}

RawConnection::~RawConnection()
{
    ::close(fd_);
}

bool RawConnection::Write(std::string_view bytes)
{
    ssize_t n = 0;
    while (!bytes.empty() && (n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return bytes.empty();
}

bool RawConnection::SendFrame(int opcode, std::string_view payload)
{
    std::string frame {static_cast<char>(0x80 | opcode)}; // FIN, opcode
    if (payload.size() < 126) {
        frame += static_cast<char>(0x80 | payload.size()); // MASK, length
    } else {
        frame += {static_cast<char>(0x80 | 126), static_cast<char>(payload.size() >> 8),
            static_cast<char>(payload.size() & 0xFF)}; // MASK, 16-bit length
    }
    const char mask[4] = {0x3C, 0x5A, 0x7E, 0x11};
    frame.append(mask, 4);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    }
    return Write(frame);
}

bool RawConnection::ReadAvailable()
{
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    ended_ = ended_ || n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
    return !ended_;
}

bool RawConnection::Await(Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd look {fd_, POLLIN, 0};
    return left > 0 && ::poll(&look, 1, static_cast<int>(left)) > 0 && ReadAvailable();
}

std::optional<WsFrame> RawConnection::TakeFrame()
{
    // A server's frames: FIN and opcode, then a 7-bit length or 126 and a
    // 16-bit one (a press is far below 64 KiB), then the payload.
    const std::size_t header = buffer_.size() >= 2 && (buffer_[1] & 0x7F) == 126 ? 4 : 2;
    if (buffer_.size() < header) {
        return std::nullopt;
    }
    const std::size_t length
        = header == 4 ? (buffer_[2] & 0xFF) << 8 | (buffer_[3] & 0xFF) : static_cast<std::size_t>(buffer_[1] & 0x7F);
    if (buffer_.size() < header + length) {
        return std::nullopt;
    }
    WsFrame frame {buffer_[0] & 0x0F, buffer_.substr(header, length)};
    buffer_.erase(0, header + length);
    return frame;
}

std::optional<WsFrame> RawConnection::ReadFrame(std::chrono::milliseconds patience)
{
    const auto until = Clock::now() + patience;
    std::optional<WsFrame> frame;
    while (!(frame = TakeFrame()) && !ended_ && Await(until)) { }
    return frame;
}

bool RawConnection::Ended(std::chrono::milliseconds patience)
{
    const auto until = Clock::now() + patience;
    while (!ended_ && Clock::now() < until) {
        Await(until);
    }
    return ended_;
}

std::optional<HttpResponse> RawConnection::ReadResponse(std::chrono::milliseconds patience)
{
    const auto until = Clock::now() + patience;
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
        if (ended_ || !Await(until)) {
            return std::nullopt;
        }
    }
    HttpResponse response {std::atoi(buffer_.c_str() + buffer_.find(' ') + 1), buffer_.substr(0, end + 2), {}};
    buffer_.erase(0, end + 4);
    if (response.status != 101) { // the body, up to the end that the server sends after it
        Ended(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()));
        response.body = std::move(buffer_);
        buffer_.clear();
    }
    return response;
}

std::string GetRequest(
    const std::string& target, const std::string& host, const std::optional<std::string>& origin, bool upgrade)
{
    return "GET " + target + " HTTP/1.1\r\n" + (host.empty() ? "" : "Host: " + host + "\r\n")
        + (origin ? "Origin: " + *origin + "\r\n" : "")
        + (upgrade ? "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   : "")
        + "\r\n";
}

} // namespace qz::test
