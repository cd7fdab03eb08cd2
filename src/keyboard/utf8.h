#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace qz {

// The first code point of a UTF-8 text and how many bytes it takes.
struct CodePoint {
    char32_t value;
    std::size_t length;
};

// Decodes the first code point of `text` strictly: overlong forms, surrogates,
// values above U+10FFFF, stray continuation bytes and truncated sequences are
// not UTF-8 and give nullopt, as does an empty text.
std::optional<CodePoint> DecodeFirstCodePoint(std::string_view text);

} // namespace qz
