#pragma once

#include "probe/core/options.h"
#include "probe/io/output.h"

#include <chrono>
#include <optional>
#include <string>

namespace qz {
class HidrawLayer;
}

namespace qz::probe {

// Options of `watch` alone.
struct WatchOptions {
    std::optional<std::string> roundButton; // --round-button: only this button takes a place in a round
};

// One line per input report until SIGINT or SIGTERM; times count from
// `origin`. Enter on standard input, or SIGUSR1, closes a round and prints
// its ranking.
int RunWatch(const CommonOptions& options, HidrawLayer& hid, Output& output,
    std::chrono::steady_clock::time_point origin, const WatchOptions& watchOptions = {});

} // namespace qz::probe
