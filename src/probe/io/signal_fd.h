#pragma once

#include <signal.h>

#include <initializer_list>

namespace qz::probe {

// Signals that arrive through a descriptor, so that a loop waits for them in
// the same poll() as for reports, with nothing to race. The signals are
// blocked while it lives; what is still pending at the end is taken, not
// delivered once the mask is restored.
class SignalFd {
public:
    explicit SignalFd(std::initializer_list<int> signals);
    ~SignalFd();
    SignalFd(const SignalFd&) = delete;
    SignalFd& operator=(const SignalFd&) = delete;

    // -1 when it could not be made (errno says why).
    int Fd() const { return fd_; }

    // The next signal that arrived; 0 when none is waiting.
    int Take();

private:
    sigset_t set_ {};
    sigset_t previous_ {};
    int fd_ = -1;
};

} // namespace qz::probe
