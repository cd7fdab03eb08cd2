#pragma once

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <initializer_list>

namespace qz::probe {

// Signals that end a command (Ctrl+C and the like) arrive through a
// descriptor, so that its loop waits for them in the same poll() as for
// everything else, with nothing to race. They are blocked while it lives.
class SignalDescriptor {
public:
    explicit SignalDescriptor(std::initializer_list<int> signals)
    {
        sigemptyset(&set_);
        for (const int signal : signals) {
            sigaddset(&set_, signal);
        }
        ::pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        fd_ = ::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
    }
    ~SignalDescriptor()
    {
        if (fd_ >= 0) {
            while (Take() != 0) {
                // What arrived during the shutdown is taken here, not
                // delivered once the mask is restored.
            }
            ::close(fd_);
        }
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalDescriptor(const SignalDescriptor&) = delete;
    SignalDescriptor& operator=(const SignalDescriptor&) = delete;

    int Fd() const { return fd_; }

    // The next signal that arrived; 0 when none is waiting.
    int Take()
    {
        signalfd_siginfo info {};
        const ssize_t n = ::read(fd_, &info, sizeof info);
        return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
    }

private:
    sigset_t set_ {};
    sigset_t previous_ {};
    int fd_ = -1;
};

} // namespace qz::probe
