#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace qz::probe::beast_server {

using Clock = std::chrono::steady_clock;

// Deadlines on one timerfd of ours, set for the earliest and cleared when
// none is left. Asio's timers leave its own timerfd set for a timer that was
// cancelled, so each connection's handshake deadline would wake the idle
// loop once, for nothing, after the connection is long open.
class Deadlines {
public:
    using Id = std::uint64_t; // 0: none

    explicit Deadlines(boost::asio::io_context& io);
    Id At(Clock::time_point when, std::function<void()> due);
    Id After(Clock::duration delay, std::function<void()> due) { return At(Clock::now() + delay, std::move(due)); }
    void Cancel(Id id);

private:
    void Wait();
    void Arm();

    boost::asio::posix::stream_descriptor timer_;
    std::map<std::pair<Clock::time_point, Id>, std::function<void()>> pending_;
    std::map<Id, Clock::time_point> when_;
    Id last_ = 0;
};

// The descriptors of others that the loop waits on (the transceiver's node,
// the signals, standard input), in an epoll set of our own that joins
// Asio's as one descriptor. Asio would make each of them non-blocking with
// FIONBIO, which changes the open file a terminal shares with the shell,
// and which an emulated device (umockdev's) refuses, so that the wait would
// fail at once, again and again. In a set of our own they stay as they are,
// and none is ever closed here.
class Descriptors {
public:
    explicit Descriptors(boost::asio::io_context& io);
    // Calls `ready` once when `fd` can be read or has hung up; false when
    // `fd` is of a kind that cannot be waited on (a regular file).
    bool Wait(int fd, std::function<void()> ready);
    void Forget(int fd);
    void Clear();

private:
    void Listen();

    boost::asio::posix::stream_descriptor set_;
    std::map<int, std::function<void()>> waiting_; // each descriptor in the set
};

} // namespace qz::probe::beast_server
