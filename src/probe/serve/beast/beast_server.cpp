#include "probe/serve/beast/beast_server.h"

#include "probe/serve/send_queue.h"
#include "probe/serve/serve_limits.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <map>
#include <utility>

namespace qz::probe {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;
using Request = http::request<http::empty_body>;

constexpr const char* kServerName = "qz470-probe";
using Clock = std::chrono::steady_clock;

// Deadlines on one timerfd of ours, set for the earliest and cleared when
// none is left. Asio's timers leave its own timerfd set for a timer that was
// cancelled, so each connection's handshake deadline would wake the idle
// loop once, for nothing, after the connection is long open.
class Deadlines {
public:
    using Id = std::uint64_t; // 0: none

    explicit Deadlines(net::io_context& io);
    Id At(Clock::time_point when, std::function<void()> due);
    Id After(Clock::duration delay, std::function<void()> due) { return At(Clock::now() + delay, std::move(due)); }
    void Cancel(Id id);

private:
    void Wait();
    void Arm();

    net::posix::stream_descriptor timer_;
    std::map<std::pair<Clock::time_point, Id>, std::function<void()>> pending_;
    std::map<Id, Clock::time_point> when_;
    Id last_ = 0;
};

Deadlines::Deadlines(net::io_context& io)
    : timer_(io)
{
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        throw boost::system::system_error(ErrorCode(errno, boost::system::system_category()), "timerfd_create");
    }
    timer_.assign(fd); // ours: closed with timer_
    Wait();
}

Deadlines::Id Deadlines::At(Clock::time_point when, std::function<void()> due)
{
    const Id id = ++last_;
    pending_.emplace(std::make_pair(when, id), std::move(due));
    when_.emplace(id, when);
    Arm();
    return id;
}

void Deadlines::Cancel(Id id)
{
    const auto found = when_.find(id);
    if (found == when_.end()) {
        return;
    }
    pending_.erase({found->second, id});
    when_.erase(found);
    Arm();
}

void Deadlines::Wait()
{
    timer_.async_wait(net::posix::descriptor_base::wait_read, [this](const ErrorCode& error) {
        if (error) {
            return;
        }
        std::uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t n = ::read(timer_.native_handle(), &expirations, sizeof expirations);
        // What falls due may set or cancel deadlines: one at a time.
        const Clock::time_point now = Clock::now();
        while (!pending_.empty() && pending_.begin()->first.first <= now) {
            auto due = std::move(pending_.begin()->second);
            when_.erase(pending_.begin()->first.second);
            pending_.erase(pending_.begin());
            due();
        }
        Arm();
        Wait();
    });
}

void Deadlines::Arm()
{
    // steady_clock is CLOCK_MONOTONIC: its time is an absolute time there.
    itimerspec spec {};
    if (!pending_.empty()) {
        const auto at
            = std::chrono::duration_cast<std::chrono::nanoseconds>(pending_.begin()->first.first.time_since_epoch());
        spec.it_value.tv_sec = static_cast<time_t>(at.count() / 1000000000);
        spec.it_value.tv_nsec = static_cast<long>(at.count() % 1000000000);
        if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) {
            spec.it_value.tv_nsec = 1; // zero would clear it
        }
    }
    ::timerfd_settime(timer_.native_handle(), TFD_TIMER_ABSTIME, &spec, nullptr);
}

// The descriptors of others that the loop waits on (the transceiver's node,
// the signals, standard input), in an epoll set of our own that joins
// Asio's as one descriptor. Asio would make each of them non-blocking with
// FIONBIO, which changes the open file a terminal shares with the shell,
// and which an emulated device (umockdev's) refuses, so that the wait would
// fail at once, again and again. In a set of our own they stay as they are,
// and none is ever closed here.
class Descriptors {
public:
    explicit Descriptors(net::io_context& io);
    // Calls `ready` once when `fd` can be read or has hung up; false when
    // `fd` is of a kind that cannot be waited on (a regular file).
    bool Wait(int fd, std::function<void()> ready);
    void Forget(int fd);
    void Clear();

private:
    void Listen();

    net::posix::stream_descriptor set_;
    std::map<int, std::function<void()>> waiting_; // each descriptor in the set
};

Descriptors::Descriptors(net::io_context& io)
    : set_(io)
{
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
        throw boost::system::system_error(ErrorCode(errno, boost::system::system_category()), "epoll_create1");
    }
    set_.assign(fd); // ours: closed with set_
    Listen();
}

bool Descriptors::Wait(int fd, std::function<void()> ready)
{
    // One report each time it is asked for: the owner reads what is there
    // and asks again.
    epoll_event event {};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.fd = fd;
    const bool known = waiting_.contains(fd);
    // A descriptor closed by its owner has left the set by itself.
    if (::epoll_ctl(set_.native_handle(), known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0
        && !(known && errno == ENOENT && ::epoll_ctl(set_.native_handle(), EPOLL_CTL_ADD, fd, &event) == 0)) {
        waiting_.erase(fd);
        return false;
    }
    waiting_[fd] = std::move(ready);
    return true;
}

void Descriptors::Forget(int fd)
{
    if (waiting_.erase(fd) > 0) {
        ::epoll_ctl(set_.native_handle(), EPOLL_CTL_DEL, fd, nullptr);
    }
}

void Descriptors::Clear()
{
    while (!waiting_.empty()) {
        Forget(waiting_.begin()->first);
    }
}

void Descriptors::Listen()
{
    set_.async_wait(net::posix::descriptor_base::wait_read, [this](const ErrorCode& error) {
        if (error) {
            return;
        }
        epoll_event events[16];
        int n = 16;
        while (n == 16 && (n = ::epoll_wait(set_.native_handle(), events, 16, 0)) > 0) {
            for (int i = 0; i < n; ++i) {
                // One that an earlier callback forgot is passed over.
                const auto found = waiting_.find(events[i].data.fd);
                if (found != waiting_.end() && found->second) {
                    auto ready = std::move(found->second);
                    found->second = nullptr;
                    ready();
                }
            }
        }
        Listen();
    });
}

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

std::string PeerText(const tcp::endpoint& peer)
{
    const std::string address = peer.address().to_string();
    return (peer.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(peer.port());
}

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

// ---- HttpSession ----

HttpSession::HttpSession(BeastServer& server, tcp::socket socket, bool overLimit)
    : server_(server)
    , socket_(std::move(socket))
    , handshakeEnd_(Clock::now() + kHandshakeTime)
    , slot_(overLimit ? server.OverLimit() : server.Connections())
    , overLimit_(overLimit)
{
}

void HttpSession::Start()
{
    // The whole request, and the upgrade after it, within kHandshakeTime.
    deadline_ = server_.Timers().At(handshakeEnd_, [weak = weak_from_this()]() {
        if (auto self = weak.lock()) {
            ErrorCode ignored;
            self->socket_.close(ignored);
        }
    });
    parser_.header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
    http::async_read(socket_, buffer_, parser_,
        [self = shared_from_this()](const ErrorCode& error, std::size_t) { self->OnRead(error); });
}

void HttpSession::OnRead(const ErrorCode& error)
{
    HttpAnswer refusal;
    if (error == http::error::header_limit) {
        refusal.status = 431;
        refusal.body = "The request's headers are over " + std::to_string(kMaxHeaderBytes / 1024) + " KiB.\n";
    } else if (error
        && (error == http::error::end_of_stream
            || error.category() != http::make_error_code(http::error::end_of_stream).category())) {
        server_.Timers().Cancel(deadline_);
        return; // the peer went away, or the deadline closed the connection
    } else if (error) {
        refusal.status = 400;
        refusal.body = "The request is not one this server reads (" + error.message() + ").\n";
    } else if (overLimit_) {
        refusal.status = 503;
        refusal.body = "At most " + std::to_string(kMaxConnections)
            + " connections are served at once: try again when one has closed.\n";
        refusal.headers.emplace_back("Retry-After", "1");
    }
    if (refusal.status != 404) {
        refusal.headers.emplace_back("X-Content-Type-Options", "nosniff");
        refusal.headers.emplace_back("Cache-Control", "no-store");
        Respond(refusal);
        return;
    }

    const Request& request = parser_.get();
    RequestHead head;
    head.method = std::string(request.method_string());
    head.target = std::string(request.target());
    if (const auto host = request.find(http::field::host); host != request.end()) {
        head.host = std::string(host->value());
    }
    if (const auto origin = request.find(http::field::origin); origin != request.end()) {
        head.origin = std::string(origin->value());
    }
    head.upgrade = websocket::is_upgrade(request);
    ErrorCode peerError;
    const tcp::endpoint peer = socket_.remote_endpoint(peerError);
    head.fromLoopback = !peerError && peer.address().is_loopback();

    const HttpAnswer answer = server_.Events().OnRequest(head);
    if (!answer.upgrade) {
        Respond(answer);
        return;
    }
    server_.Timers().Cancel(deadline_);
    server_.Upgrade(std::move(socket_), std::move(slot_), parser_.release(), handshakeEnd_);
}

void HttpSession::Respond(const HttpAnswer& answer)
{
    response_.version(11);
    response_.result(static_cast<unsigned>(answer.status));
    response_.set(http::field::server, kServerName);
    response_.set(http::field::content_type, answer.contentType);
    for (const auto& [name, value] : answer.headers) {
        response_.set(name, value);
    }
    response_.body() = answer.body;
    response_.keep_alive(false);
    response_.prepare_payload();
    http::async_write(socket_, response_, [self = shared_from_this()](const ErrorCode& error, std::size_t) {
        if (!error) {
            self->Linger();
        } else {
            self->server_.Timers().Cancel(self->deadline_);
        }
    });
}

// After the answer: its end is sent, and the connection is closed once the
// client has closed its end (or at the deadline), so that what the client
// still sends (the rest of an oversized request) cannot reset the connection
// before the answer has arrived.
void HttpSession::Linger()
{
    ErrorCode ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    socket_.async_read_some(net::buffer(scratch_), [self = shared_from_this()](const ErrorCode& error, std::size_t) {
        if (!error) {
            self->Linger();
        } else {
            self->server_.Timers().Cancel(self->deadline_);
        }
    });
}

// ---- WsClient ----

WsClient::WsClient(BeastServer& server, ClientId id, tcp::socket socket, Slot slot, std::string peer)
    : server_(server)
    , id_(id)
    , ws_(std::move(socket))
    , slot_(std::move(slot))
    , peer_(std::move(peer))
{
}

void WsClient::Accept(Request request, Clock::time_point deadline)
{
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, kServerName); }));
    ws_.read_message_max(kMaxMessageBytes);
    // The upgrade within the request's deadline; Beast's own timer waits
    // until the WebSocket is open.
    deadline_ = server_.Timers().At(deadline, [weak = weak_from_this()]() {
        if (auto self = weak.lock()) {
            self->Abort();
        }
    });
    ws_.async_accept(request, [self = shared_from_this()](const ErrorCode& error) {
        self->server_.Timers().Cancel(self->deadline_);
        if (error) {
            return; // never opened, so nothing to tell
        }
        // No idle timeout and no keep-alive pings (Beast's suggested server
        // settings have both): an idle client costs no wake-up. Only a
        // closing handshake, which the client may begin, has a time limit.
        websocket::stream_base::timeout timeout {};
        timeout.handshake_timeout = kCloseTime;
        timeout.idle_timeout = websocket::stream_base::none();
        timeout.keep_alive_pings = false;
        self->ws_.set_option(timeout);
        self->open_ = true;
        self->server_.Opened(self, self->id_);
        self->server_.Events().OnOpen(self->id_, self->peer_);
        if (self->open_ && !self->closing_) {
            self->Read();
        }
    });
}

void WsClient::Read()
{
    reading_ = true;
    ws_.async_read(buffer_, [self = shared_from_this()](const ErrorCode& error, std::size_t) {
        self->reading_ = false;
        self->OnRead(error);
    });
}

void WsClient::OnRead(const ErrorCode& error)
{
    if (error) {
        // A frame that breaks the protocol (too big, bad UTF-8, bad framing):
        // Beast has closed with its code (1009 for too big).
        const bool broken = error.category() == websocket::make_error_code(websocket::error::closed).category()
            && error != websocket::error::closed;
        Finish(closing_ ? why_ : broken ? Departure::Refused : Departure::Left);
        return;
    }
    if (closing_) {
        buffer_.consume(buffer_.size());
        Read(); // until the client answers the close
        return;
    }
    if (!ws_.got_text()) {
        buffer_.consume(buffer_.size());
        Close(websocket::close_code::unknown_data, Departure::Refused);
        return;
    }
    const std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    server_.Events().OnMessage(id_, text);
    if (open_ && !closing_) {
        Read();
    }
}

void WsClient::Send(const Frame& frame)
{
    if (!open_ || closing_) {
        return;
    }
    switch (queue_.Add(frame)) {
    case SendQueue::Added::WriteNow:
        Write(frame);
        break;
    case SendQueue::Added::Queued:
        break;
    case SendQueue::Added::Overflow:
        // Its send buffer and its queue are full: the close goes out behind
        // the write in flight if the client reads that far in time, else
        // the connection ends.
        Close(websocket::close_code::policy_error, Departure::Dropped);
        break;
    }
}

void WsClient::Write(const Frame& frame)
{
    ws_.text(true);
    ws_.async_write(net::buffer(*frame), [self = shared_from_this(), frame](const ErrorCode& error, std::size_t) {
        if (error) {
            self->Abort();
            return;
        }
        if (!self->closing_) {
            if (const Frame next = self->queue_.WriteDone()) {
                self->Write(next);
            }
        }
    });
}

void WsClient::Close(websocket::close_code code, Departure why)
{
    if (!open_ || closing_) {
        return;
    }
    closing_ = true;
    why_ = why;
    queue_.Clear();
    deadline_ = server_.Timers().After(kCloseTime, [weak = weak_from_this()]() {
        if (auto self = weak.lock()) {
            self->Abort();
        }
    });
    ws_.async_close(websocket::close_reason(code), [self = shared_from_this()](const ErrorCode&) {
        // With a read pending, that read sees the client's answer; without,
        // the close has waited for it.
        if (!self->reading_) {
            self->Finish(self->why_);
        }
    });
}

void WsClient::Abort()
{
    ErrorCode ignored;
    beast::get_lowest_layer(ws_).close(ignored);
    if (!reading_ && !closing_) {
        Finish(why_);
    }
}

void WsClient::Finish(Departure why)
{
    server_.Timers().Cancel(deadline_);
    if (!open_) {
        return;
    }
    open_ = false;
    closing_ = true; // nothing more is written
    queue_.Clear();
    ErrorCode ignored;
    beast::get_lowest_layer(ws_).close(ignored);
    server_.Closed(id_);
    server_.Events().OnClose(id_, why);
}

// ---- BeastServer ----

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

} // namespace

std::unique_ptr<WebServer> MakeBeastServer(WebEvents& events)
{
    return std::make_unique<BeastServer>(events);
}

} // namespace qz::probe
