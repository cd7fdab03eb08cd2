#include "probe/text.h"

#include <cinttypes>
#include <cstdio>

namespace qz::probe {

namespace {

std::string Hex(std::span<const std::uint8_t> bytes, const char* digits, bool spaced)
{
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const std::uint8_t byte : bytes) {
        if (spaced && !text.empty()) {
            text += ' ';
        }
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

} // namespace

std::string HexSpaced(std::span<const std::uint8_t> bytes)
{
    return Hex(bytes, "0123456789ABCDEF", true);
}

std::string HexCompact(std::span<const std::uint8_t> bytes)
{
    return Hex(bytes, "0123456789abcdef", false);
}

std::string ModelName(std::uint16_t productId)
{
    char name[16];
    std::snprintf(name, sizeof name, "0x%04" PRIX16, productId);
    return name;
}

std::string Message(std::string_view text)
{
    std::string line(kProgramName);
    line += ": ";
    line += text;
    return line;
}

std::string Style::Paint(std::string_view text, Colour colour) const
{
    if (!colour_) {
        return std::string(text);
    }
    // SGR: green, bold red, dim, cyan, bold.
    const char* start = "";
    switch (colour) {
    case Colour::Good:
        start = "\033[32m";
        break;
    case Colour::Bad:
        start = "\033[1;31m";
        break;
    case Colour::Quiet:
        start = "\033[2m";
        break;
    case Colour::Event:
        start = "\033[36m";
        break;
    case Colour::Press:
        start = "\033[1m";
        break;
    }
    return start + std::string(text) + "\033[0m";
}

} // namespace qz::probe
