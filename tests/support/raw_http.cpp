#include "raw_http.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace qz::test {

namespace {

using Clock = std::chrono::steady_clock;

bool SetUp(int control, const char* name)
{
    ifreq request {};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (::ioctl(control, SIOCGIFFLAGS, &request) != 0) {
        return false;
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    return ::ioctl(control, SIOCSIFFLAGS, &request) == 0;
}

bool SetAddress(int control, const char* name, unsigned long command, const char* address)
{
    ifreq request {};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    sockaddr_in in {};
    in.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in.sin_addr);
    std::memcpy(&request.ifr_addr, &in, sizeof in);
    return ::ioctl(control, command, &request) == 0;
}

} // namespace

bool BringUpLoopback()
{
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool up = control >= 0 && SetUp(control, "lo");
    if (control >= 0) {
        ::close(control);
    }
    return up;
}

bool EnterPrivateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // An alias of lo carries the outside address, alone in its net.
    const bool ready = control >= 0 && SetUp(control, "lo") && SetAddress(control, "lo:1", SIOCSIFADDR, kOutsideAddress)
        && SetAddress(control, "lo:1", SIOCSIFNETMASK, "255.255.255.255") && SetUp(control, "lo:1");
    if (control >= 0) {
        ::close(control);
    }
    return ready;
}

int WsFrame::CloseCode() const
{
    return opcode == 8 && payload.size() >= 2
        ? (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1])
        : -1;
}

std::unique_ptr<RawConnection> RawConnection::Open(const std::string& address, std::uint16_t port, int receiveBuffer)
{
    sockaddr_storage storage {};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    } else {
        return nullptr;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    if (receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
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
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool RawConnection::SendFrame(int opcode, std::string_view payload)
{
    std::string frame;
    frame += static_cast<char>(0x80 | opcode); // FIN, opcode
    if (payload.size() < 126) {
        frame += static_cast<char>(0x80 | payload.size()); // MASK, length
    } else {
        frame += static_cast<char>(0x80 | 126); // MASK, 16-bit length follows
        frame += static_cast<char>(payload.size() >> 8);
        frame += static_cast<char>(payload.size() & 0xFF);
    }
    static std::mt19937 random(4711);
    char mask[4];
    for (char& byte : mask) {
        byte = static_cast<char>(random());
    }
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
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        ended_ = true;
        return false;
    }
    return true;
}

bool RawConnection::Await(Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd look {fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&look, 1, static_cast<int>(left)) <= 0) {
        return false;
    }
    return ReadAvailable();
}

std::optional<WsFrame> RawConnection::TakeFrame()
{
    const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(buffer_[i]); };
    if (buffer_.size() < 2) {
        return std::nullopt;
    }
    std::size_t header = 2;
    std::uint64_t length = byte(1) & 0x7F;
    if (length == 126 || length == 127) {
        const std::size_t bytes = length == 126 ? 2 : 8;
        if (buffer_.size() < 2 + bytes) {
            return std::nullopt;
        }
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            length = (length << 8) | byte(2 + i);
        }
        header += bytes;
    }
    if (buffer_.size() < header + length) {
        return std::nullopt;
    }
    WsFrame frame;
    frame.opcode = byte(0) & 0x0F;
    frame.payload = buffer_.substr(header, length);
    buffer_.erase(0, header + length);
    return frame;
}

std::optional<WsFrame> RawConnection::ReadFrame(std::chrono::milliseconds patience)
{
    const auto until = Clock::now() + patience;
    for (;;) {
        if (auto frame = TakeFrame()) {
            return frame;
        }
        if (ended_ || !Await(until)) {
            return std::nullopt;
        }
    }
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
    HttpResponse response;
    const std::string head = buffer_.substr(0, end + 2);
    buffer_.erase(0, end + 4);
    response.status = std::atoi(head.substr(head.find(' ') + 1).c_str()); // "HTTP/1.1 200 OK"
    for (std::size_t line = head.find("\r\n") + 2; line < head.size();) {
        const std::size_t next = head.find("\r\n", line);
        const std::string field = head.substr(line, next - line);
        const std::size_t colon = field.find(':');
        std::string name = field.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        response.headers[name] = field.substr(std::min(field.size(), field.find_first_not_of(' ', colon + 1)));
        line = next + 2;
    }
    if (response.status != 101) {
        Ended(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()));
        response.body = buffer_;
        buffer_.clear();
    }
    return response;
}

std::string GetRequest(
    const std::string& target, const std::string& host, const std::optional<std::string>& origin, bool upgrade)
{
    std::string request = "GET " + target + " HTTP/1.1\r\n";
    if (!host.empty()) {
        request += "Host: " + host + "\r\n";
    }
    if (origin) {
        request += "Origin: " + *origin + "\r\n";
    }
    if (upgrade) {
        request += "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    }
    return request + "\r\n";
}

} // namespace qz::test
