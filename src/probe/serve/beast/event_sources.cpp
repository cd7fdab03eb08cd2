#include "probe/serve/beast/event_sources.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>

namespace qz::probe::beast_server {

namespace net = boost::asio;
using ErrorCode = boost::system::error_code;

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
    itimerspec setting {};
    if (!pending_.empty()) {
        const auto at
            = std::chrono::duration_cast<std::chrono::nanoseconds>(pending_.begin()->first.first.time_since_epoch());
        setting.it_value.tv_sec = static_cast<time_t>(at.count() / 1000000000);
        setting.it_value.tv_nsec = static_cast<long>(at.count() % 1000000000);
        if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0) {
            setting.it_value.tv_nsec = 1; // zero would clear it
        }
    }
    ::timerfd_settime(timer_.native_handle(), TFD_TIMER_ABSTIME, &setting, nullptr);
}

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

} // namespace qz::probe::beast_server
