#pragma once

namespace qz::probe {

// The exit statuses of every qz470-probe command; the man page lists them.
enum class ExitStatus : int {
    Success = 0,
    Failed = 1, // the command failed: an LED report not built or not written, a read that failed
    Usage = 2, // a usage error, also whatever the argument parser rejects
    NoTransceiver = 3, // no transceiver found
    NotOpenable = 4, // a transceiver found, but none could be opened
};

constexpr int ToInt(ExitStatus status)
{
    return static_cast<int>(status);
}

} // namespace qz::probe
