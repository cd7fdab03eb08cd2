#pragma once

// The fixed table that turns the 16-bit key code of a code report into a pad
// number and a button. 350 entries in table order: pads 1 to 30 with A, B, C,
// D and BUZZ, pads 31 to 80 with A to D. Lookups take the first entry whose
// key code matches; key codes are unique, so an index by key code gives the
// same answer in O(1).

#include <array>
#include <cstdint>
#include <string_view>

namespace qz::padcode {

enum class Key : std::uint8_t { A = 0, B = 1, C = 2, D = 3, Buzz = 4 };

constexpr std::string_view ButtonText(Key key)
{
    constexpr std::array<std::string_view, 5> texts {"A", "B", "C", "D", "BUZZ"};
    return texts[static_cast<std::size_t>(key)];
}

struct Entry {
    std::uint16_t keyCode;
    std::int16_t pad;
    Key key;
};

inline constexpr std::size_t kEntryCount = 350;
inline constexpr int kFirstPad = 1;
inline constexpr int kLastPad = 80;
inline constexpr int kLastBuzzPad = 30;

// A code of pad n: base(group) + unit, group = (n-1) div 10, unit = n mod 10.
// The bases are 67 + 60k with k = 1, 2, 4, 3, 5, 6, 7, 0 for groups 0..7:
// they do not rise with the group.
constexpr std::uint16_t ACode(int pad)
{
    constexpr std::array<int, 8> k {1, 2, 4, 3, 5, 6, 7, 0};
    const int group = (pad - 1) / 10;
    return static_cast<std::uint16_t>(67 + 60 * k[static_cast<std::size_t>(group)] + pad % 10);
}

constexpr std::uint16_t KeyCode(int pad, Key key)
{
    if (key == Key::Buzz) {
        return static_cast<std::uint16_t>(pad <= 20 ? pad : pad + 6);
    }
    return static_cast<std::uint16_t>(ACode(pad) - 10 * static_cast<int>(key));
}

constexpr std::array<Entry, kEntryCount> MakeTable()
{
    std::array<Entry, kEntryCount> table {};
    std::size_t i = 0;
    for (int pad = kFirstPad; pad <= kLastPad; ++pad) {
        const int keys = pad <= kLastBuzzPad ? 5 : 4;
        for (int k = 0; k < keys; ++k) {
            const auto key = static_cast<Key>(k);
            table[i++] = Entry {KeyCode(pad, key), static_cast<std::int16_t>(pad), key};
        }
    }
    return table;
}

inline constexpr std::array<Entry, kEntryCount> kTable = MakeTable();

// Every key code fits below this bound (the largest is 496).
inline constexpr std::size_t kKeyCodeBound = 512;
inline constexpr std::int16_t kNoEntry = -1;

// Key code -> index of the first table entry with that code, or kNoEntry.
constexpr std::array<std::int16_t, kKeyCodeBound> MakeIndex()
{
    std::array<std::int16_t, kKeyCodeBound> index {};
    for (auto& slot : index) {
        slot = kNoEntry;
    }
    for (std::size_t i = 0; i < kTable.size(); ++i) {
        auto& slot = index[kTable[i].keyCode];
        if (slot == kNoEntry) {
            slot = static_cast<std::int16_t>(i);
        }
    }
    return index;
}

inline constexpr std::array<std::int16_t, kKeyCodeBound> kIndexByKeyCode = MakeIndex();

constexpr bool KeyCodesUnique()
{
    std::size_t mapped = 0;
    for (auto slot : kIndexByKeyCode) {
        mapped += slot != kNoEntry ? 1 : 0;
    }
    return mapped == kEntryCount;
}

// The entry for a key code, or nullptr when the table has none.
constexpr const Entry* Find(std::uint16_t keyCode)
{
    if (keyCode >= kKeyCodeBound) {
        return nullptr;
    }
    const auto slot = kIndexByKeyCode[keyCode];
    return slot == kNoEntry ? nullptr : &kTable[static_cast<std::size_t>(slot)];
}

// Entry number (counted from 1) of pad n, button j: 5(n-1)+j+1 for pads 1 to
// 30, 150+4(n-31)+j+1 for pads 31 to 80.
constexpr std::size_t EntryNumber(int pad, Key key)
{
    const auto j = static_cast<std::size_t>(key);
    const auto n = static_cast<std::size_t>(pad);
    return n <= kLastBuzzPad ? 5 * (n - 1) + j + 1 : 150 + 4 * (n - 31) + j + 1;
}

static_assert(kTable.size() == 350);
static_assert(KeyCodesUnique(), "two table entries share a key code");
static_assert(kTable[EntryNumber(1, Key::A) - 1].keyCode == 0x0080);
static_assert(kTable[EntryNumber(39, Key::A) - 1].keyCode == 0x0100);
static_assert(kTable[EntryNumber(30, Key::Buzz) - 1].keyCode == 0x0024);
static_assert(kTable[EntryNumber(80, Key::D) - 1].keyCode == 0x0025);
static_assert(kTable.back().pad == 80 && kTable.back().key == Key::D);
static_assert(Find(0) == nullptr && Find(21) == nullptr && Find(26) == nullptr && Find(497) == nullptr);
static_assert(Find(496)->pad == 69 && Find(496)->key == Key::A);

} // namespace qz::padcode
