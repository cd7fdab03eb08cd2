#pragma once

// Reads key events as a compositor does: through xkbcommon's state machine
// with a given keymap, collecting the text each key press types.

#include "keyboard/keyboard.h"
#include "keyboard/xkb/xkb_names_layout.h"

#include <cstdint>
#include <memory>
#include <string>

struct xkb_keymap;
struct xkb_state;

namespace qz::test {

// A keymap compiled from layout names ("de", "us,de"); when it does not
// compile (no xkb-data), the test program says so and exits 77: skipped.
std::unique_ptr<XkbNamesLayout> CompileOrSkip(const std::string& names);

// A Latin-1 character as UTF-8, as a compositor reads back the key that
// types it.
std::string Latin1ToUtf8(std::uint8_t c);

// Caps Lock as the typing logic reads it (GetLockStatus).
bool CapsLockOn(clsKeyboard& kbd);

class XkbDecoder {
public:
    explicit XkbDecoder(xkb_keymap* keymap, std::uint32_t group = 0);
    ~XkbDecoder();
    XkbDecoder(const XkbDecoder&) = delete;
    XkbDecoder& operator=(const XkbDecoder&) = delete;

    // One key event, by Linux input key code.
    void Key(std::uint16_t code, bool down);
    // The locked modifiers (an XKB mask) and the group, as a server sets them.
    void SetLockedAndGroup(std::uint32_t locked, std::uint32_t group);
    // The text typed since the last call.
    std::string TakeText();
    bool CapsLocked() const;
    // Any key (modifiers included) still down.
    bool AnyKeyDown() const { return down_ != 0; }

private:
    xkb_state* state_;
    std::string text_;
    int down_ = 0;
};

} // namespace qz::test
