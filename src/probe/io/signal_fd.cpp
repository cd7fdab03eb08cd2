#include "probe/io/signal_fd.h"

#include <sys/signalfd.h>
#include <unistd.h>

namespace qz::probe {

SignalFd::SignalFd(std::initializer_list<int> signals)
{
    sigemptyset(&set_);
    for (const int signal : signals) {
        sigaddset(&set_, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    fd_ = ::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
}

SignalFd::~SignalFd()
{
    if (fd_ >= 0) {
        while (Take() != 0) {
            // What arrived during the shutdown is taken here.
        }
        ::close(fd_);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int SignalFd::Take()
{
    signalfd_siginfo info {};
    const ssize_t n = ::read(fd_, &info, sizeof info);
    return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

} // namespace qz::probe
