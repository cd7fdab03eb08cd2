#pragma once

#include "keyboard/key_table.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace qz {

enum class LockKey { kCaps, kNum, kScroll };

// The keyboard layout that typed keys are read with, and what its owner knows
// of the keyboard's state. An X server's layout, or a keymap compiled from
// names; the typing logic never sees the keymap itself.
class KeyLayout {
public:
    virtual ~KeyLayout() = default;

    // The table of the keymap and group in use. With `sync`, first asks the
    // layout's owner for the group in use now, so that a layout switch that
    // ended before the call is seen; without, the last known group is used.
    // A table never changes once it has been handed out: a new keymap or
    // group gives a new table, and a caller may keep the one it has for as
    // long as it needs it (the typing layer keeps the table of a character's
    // lookup until its last key event has gone out).
    virtual std::shared_ptr<const KeyTable> Keys(bool sync) = 0;

    // Whether the lock is on, as far as the layout's owner knows; nullopt when
    // it cannot tell.
    virtual std::optional<bool> LockOn(LockKey lock) = 0;

    // Whether the key is held down, as far as the layout's owner knows.
    virtual bool KeyDown(std::uint16_t code) = 0;
};

} // namespace qz
