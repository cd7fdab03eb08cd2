#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qz::probe {

// What one connection of `serve` may cost at most, so that a slow or hostile
// client costs only itself.
inline constexpr std::uint16_t kDefaultServePort = 8470;
inline constexpr std::size_t kMaxConnections = 64; // more are answered 503
inline constexpr std::chrono::seconds kHandshakeTime {10}; // from the connection to the answer or the upgrade
inline constexpr std::size_t kMaxHeaderBytes = 8 * 1024; // more: 431
inline constexpr std::size_t kMaxMessageBytes = 4 * 1024; // more: closed with 1009
inline constexpr int kSendBufferBytes = 64 * 1024; // the socket's send buffer (SO_SNDBUF)
inline constexpr std::size_t kMaxQueuedFrames = 1000; // behind a full send buffer; more: dropped
// A close that the client does not answer, or that cannot be sent because
// the client reads nothing, ends the connection after this.
inline constexpr std::chrono::seconds kCloseTime {2};

} // namespace qz::probe
