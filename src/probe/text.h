#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qz::probe {

// The program's name, which starts every message.
inline constexpr std::string_view kProgramName = "qz470-probe";

// Bytes as hex: "00 FA 08" for people, "00fa08" for JSON.
std::string HexSpaced(std::span<const std::uint8_t> bytes);
std::string HexCompact(std::span<const std::uint8_t> bytes);

// A transceiver model by its product ID: "0x1001" or "0x1003".
std::string ModelName(std::uint16_t productId);

// A message line: the program's name, ": ", the text.
std::string Message(std::string_view text);

// Colours for terminal output, or none at all.
class Style {
public:
    enum class Colour { Good, Bad, Quiet, Event, Press };

    explicit Style(bool colour = false)
        : colour_(colour)
    {
    }
    // The text between the colour's escape sequences, or as it is.
    std::string Paint(std::string_view text, Colour colour) const;

private:
    bool colour_;
};

} // namespace qz::probe
