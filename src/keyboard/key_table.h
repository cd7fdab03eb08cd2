#pragma once

#include "keyboard/key_injector.h"

#include <array>
#include <cstdint>

namespace qz {

// What one keyboard layout (a keymap in one of its groups) types, in the terms
// the typing logic needs. Keys are named by their Linux input key code
// (KEY_A is 30), the code a uinput device sends and, plus 8, the keycode of
// an X server with the evdev key names. 0 means "no key".
struct KeyTable {
    KeyTable() { keyOfCharacter.fill(KeyInjector::kNoKey); }

    // The key each virtual key stands for on this layout.
    std::array<std::uint16_t, 256> codeOfVk {};
    // By Latin-1 code: the virtual key and modifier bits that type the
    // character, as KeyInjector::KeyForCharacter answers; a level-3 character
    // reports Ctrl and Alt together (AltGr).
    std::array<std::int16_t, 256> keyOfCharacter;
    // By virtual key: the character (Latin-1 code, letters upper-case) the key
    // types without modifiers, 0 when it types none.
    std::array<std::uint32_t, 256> characterOfVk {};
    // The key that selects level 3 (AltGr), 0 when the layout has none.
    std::uint16_t level3Code = 0;
};

} // namespace qz
