#include "probe/core/hex.h"

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

} // namespace qz::probe
