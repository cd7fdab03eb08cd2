#pragma once

#include "probe/core/json_line.h"
#include "probe/serve/web_server.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::probe {

// What `serve` says in its own words: the lines about --listen and about a
// port it cannot have, the summary at its end, and the objects that its log
// and its clients get beside the reports.

// The --listen address refused, with advice; nullopt when it may be used.
// `written` is the address as the server writes it (nullopt: no IP address).
std::optional<std::string> ListenAddressRefusal(const std::string& given, const std::optional<std::string>& written);

// Where to listen: 127.0.0.1 always, ::1 where the system has it, and the
// --listen address (`listen` as the server writes it; empty: none).
struct ListenPlan {
    std::vector<std::string> addresses;
    std::vector<std::string> ifAvailable;
};
ListenPlan PlanListening(const std::string& listen);

std::string ListenFailureText(const WebServer::ListenFailure& failure, std::uint16_t port);

struct ServeCounts {
    std::size_t presses = 0;
    std::size_t notPresses = 0;
    std::size_t unplugs = 0;
    std::size_t roundsClosed = 0;
    std::size_t ledCommands = 0;
    std::size_t clients = 0;
};
// "served 12.3 s: 4 reports (3 presses, 1 not a press), ... 2 clients."
std::string ServeSummary(double elapsedMs, const ServeCounts& counts);

// {"event": "hello", "connected", "model", "node"}: the first frame of each
// client. No model (nullopt): no transceiver is connected.
Json HelloObject(const std::optional<std::string>& model, const std::optional<std::string>& node);
// The log's lines of a client's arrival, command and departure.
Json ClientObject(double timeMs, ClientId client, const std::string& peer);
Json CommandObject(double timeMs, ClientId client, std::string_view message, const Json& answer);
Json ClientGoneObject(double timeMs, ClientId client, Departure why);

} // namespace qz::probe
