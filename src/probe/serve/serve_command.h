#pragma once

#include "probe/io/output.h"
#include "probe/serve/serve_limits.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz {
class HidrawLayer;
}

namespace qz::probe {

// Options of `serve`.
struct ServeOptions {
    std::string device; // --device NODE
    std::uint16_t port = kDefaultServePort; // --port; 0: a free one
    std::string listen; // --listen ADDRESS; empty: loopback only
    std::vector<std::string> allowedOrigins; // --allow-origin, as ParseAllowedOrigin gives them
    std::optional<std::string> roundButton; // --round-button
    bool log = false; // --log: JSON Lines of what happens on standard output
};

// Serves the transceiver's presses on a local WebSocket, with a page of its
// own, until SIGINT or SIGTERM; LED commands and rounds come back from the
// clients, and Enter or SIGUSR1 close a round too. Times count from `origin`.
int RunServe(
    const ServeOptions& options, HidrawLayer& hid, Output& output, std::chrono::steady_clock::time_point origin);

} // namespace qz::probe
