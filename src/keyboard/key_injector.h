#pragma once

#include <chrono>
#include <cstdint>

namespace qz {

// What clsKeyboard needs of the platform to type keys into the focused window.
//
// Keys are named by virtual-key codes, one byte each, in a numbering that is
// the same on every platform layer (see VirtualKey below): Shift 16, Ctrl 17,
// Alt 18, Caps Lock 20, Num Lock 144, Scroll Lock 145, letters and digits their
// upper-case ASCII codes. Only a platform layer knows how a virtual key maps to
// its own key codes; nothing above it ever sees one.
class KeyInjector {
public:
    // Result of KeyForCharacter when the current layout has no key for a character.
    static constexpr std::int16_t kNoKey = -1;

    // Modifier bits in the result of KeyForCharacter (bits of the whole 16-bit
    // value; the low byte is the virtual-key code).
    static constexpr std::int16_t kShiftBit = 0x100;
    static constexpr std::int16_t kCtrlBit = 0x200;
    static constexpr std::int16_t kAltBit = 0x400;

    // Key-event flags.
    static constexpr std::uint32_t kExtendedKey = 1; // the key produces no character
    static constexpr std::uint32_t kKeyUp = 2; // without it, an event is a key-down

    virtual ~KeyInjector() = default;

    // The key, and the Shift, Ctrl and Alt keys, that type `character` (a
    // Latin-1 code) on the current keyboard layout: low byte the virtual-key
    // code, plus kShiftBit, kCtrlBit, kAltBit as needed; kNoKey when the layout
    // has no such key.
    virtual std::int16_t KeyForCharacter(std::uint8_t character) = 0;

    // The key's hardware scan code, 0 when it has none (or the code is not a key).
    virtual std::uint32_t ScanCode(std::int32_t virtualKey) = 0;

    // The character (Latin-1 code) the key types without modifiers, 0 when it
    // types none.
    virtual std::uint32_t KeyCharacter(std::int32_t virtualKey) = 0;

    // Appends one key event to the input stream of the focused window.
    // `flags` holds kExtendedKey and kKeyUp.
    virtual void SendKeyEvent(std::uint8_t virtualKey, std::uint8_t scanCode, std::uint32_t flags) = 0;

    // The key's state: nonzero when the key is toggled on (lock keys) or held
    // down at this moment. Bit 0: toggled on; bit 15: held down.
    virtual std::int16_t KeyState(std::int32_t virtualKey) = 0;

    // Blocks the calling (user-interface) thread. Every key event sent before
    // the call has reached the input stream when the pause begins.
    virtual void Pause(std::chrono::milliseconds duration) = 0;

    // Lets the program's queued user-interface events run before returning.
    virtual void ProcessPendingEvents() = 0;
};

// The fixed virtual-key numbering shared by all layers.
namespace VirtualKey {
inline constexpr std::uint8_t kBackspace = 8;
inline constexpr std::uint8_t kTab = 9;
inline constexpr std::uint8_t kReturn = 13;
inline constexpr std::uint8_t kShift = 16;
inline constexpr std::uint8_t kCtrl = 17;
inline constexpr std::uint8_t kAlt = 18;
inline constexpr std::uint8_t kPause = 19;
inline constexpr std::uint8_t kCapsLock = 20;
inline constexpr std::uint8_t kEscape = 27;
inline constexpr std::uint8_t kSpace = 32;
inline constexpr std::uint8_t kPageUp = 33;
inline constexpr std::uint8_t kPageDown = 34;
inline constexpr std::uint8_t kEnd = 35;
inline constexpr std::uint8_t kHome = 36;
inline constexpr std::uint8_t kLeft = 37;
inline constexpr std::uint8_t kUp = 38;
inline constexpr std::uint8_t kRight = 39;
inline constexpr std::uint8_t kDown = 40;
inline constexpr std::uint8_t kPrint = 44;
inline constexpr std::uint8_t kInsert = 45;
inline constexpr std::uint8_t kDelete = 46;
// '0'..'9' = 48..57 and 'A'..'Z' = 65..90: the key that types that digit or letter.
inline constexpr std::uint8_t kSuperLeft = 91;
inline constexpr std::uint8_t kSuperRight = 92;
inline constexpr std::uint8_t kMenu = 93;
inline constexpr std::uint8_t kNumpad0 = 96; // .. kNumpad0 + 9
inline constexpr std::uint8_t kMultiply = 106;
inline constexpr std::uint8_t kAdd = 107;
inline constexpr std::uint8_t kSeparator = 108;
inline constexpr std::uint8_t kSubtract = 109;
inline constexpr std::uint8_t kDecimal = 110;
inline constexpr std::uint8_t kDivide = 111;
inline constexpr std::uint8_t kF1 = 112; // .. kF1 + 23 (F24)
inline constexpr std::uint8_t kNumLock = 144;
inline constexpr std::uint8_t kScrollLock = 145;
// Character keys other than letters and digits, named by their place on a
// 105-key board; what they type depends on the layout.
inline constexpr std::uint8_t kOemSemicolon = 186; // right of L
inline constexpr std::uint8_t kOemEquals = 187; // right of the minus key
inline constexpr std::uint8_t kOemComma = 188; // right of M
inline constexpr std::uint8_t kOemMinus = 189; // right of 0
inline constexpr std::uint8_t kOemPeriod = 190; // right of the comma key
inline constexpr std::uint8_t kOemSlash = 191; // right of the period key
inline constexpr std::uint8_t kOemGrave = 192; // left of 1
inline constexpr std::uint8_t kOemLeftBracket = 219;
inline constexpr std::uint8_t kOemBackslash = 220;
inline constexpr std::uint8_t kOemRightBracket = 221;
inline constexpr std::uint8_t kOemQuote = 222; // right of the semicolon key
inline constexpr std::uint8_t kOem102 = 226; // between left Shift and Z
// Character keys a layout has beyond those get codes from 0xE9 upwards.
inline constexpr std::uint8_t kFirstExtraKey = 0xE9;
inline constexpr std::uint8_t kLastExtraKey = 0xF5;
} // namespace VirtualKey

} // namespace qz
