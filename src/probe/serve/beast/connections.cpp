#include "probe/serve/beast/connections.h"

#include <boost/beast/core/buffers_to_string.hpp>

namespace qz::probe::beast_server {

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

// The WebSocket client.

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

} // namespace qz::probe::beast_server
