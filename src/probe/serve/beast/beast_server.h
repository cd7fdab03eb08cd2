#pragma once

#include "probe/serve/web_server.h"

#include <memory>

namespace qz::probe {

// The WebServer on Boost.Beast and Asio: one io_context of its own, on which
// the listening sockets, every connection, the timers and the descriptors
// handed to it (the transceiver, the signals, standard input) are waited on,
// in this thread alone.
std::unique_ptr<WebServer> MakeBeastServer(WebEvents& events);

} // namespace qz::probe
