#pragma once

#include "keyboard/key_layout.h"

#include <cstdint>
#include <optional>

namespace qz {

// Where typed key events go: the X server (XTest) or a virtual keyboard of the
// kernel's (uinput). Keys are Linux input key codes, as in KeyTable.
class KeySink {
public:
    virtual ~KeySink() = default;

    // One key event, on its way at once.
    virtual void Send(std::uint16_t code, bool down) = 0;

    // Returns once every event sent so far has been taken in by the system.
    virtual void Flush() = 0;

    // The lock's state where the system tells the sink (the lock LEDs that a
    // compositor sets on a keyboard); nullopt when the sink cannot tell.
    virtual std::optional<bool> LockOn(LockKey /*lock*/) { return std::nullopt; }
};

// A sink that drops every event: the keys of a sink that could not be had.
class NoKeySink final : public KeySink {
public:
    void Send(std::uint16_t /*code*/, bool /*down*/) override { }
    void Flush() override { }
};

} // namespace qz
