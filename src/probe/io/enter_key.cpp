#include "probe/io/enter_key.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace qz::probe {

int EnterKey::PollDescriptor() const
{
    if (ended_) {
        return -1;
    }
    // tcgetpgrp() fails for a terminal that is not ours to control: read it.
    if (::isatty(STDIN_FILENO) == 1) {
        const pid_t foreground = ::tcgetpgrp(STDIN_FILENO);
        if (foreground != -1 && foreground != ::getpgrp()) {
            return -1;
        }
    }
    return STDIN_FILENO;
}

int EnterKey::Take(bool invalid)
{
    if (invalid) {
        ended_ = true;
        return 0;
    }
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EIO)) {
        ended_ = true; // end of input, or input that cannot be read
        return 0;
    }
    return n < 0 ? 0 : static_cast<int>(std::count(buffer, buffer + n, '\n'));
}

} // namespace qz::probe
