#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qz::probe {

// Bytes as hex: "00 FA 08" for people, "00fa08" for JSON.
std::string HexSpaced(std::span<const std::uint8_t> bytes);
std::string HexCompact(std::span<const std::uint8_t> bytes);

// A transceiver model by its product ID: "0x1001" or "0x1003".
std::string ModelName(std::uint16_t productId);

} // namespace qz::probe
