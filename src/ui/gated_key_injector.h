#pragma once

#include "keyboard/key_injector.h"

#include <bitset>

namespace qz {

// Passes key events to the real injector until Close(). The main window types
// through it: when the window closes while a PressString lets pending events
// run, the rest of that string must not reach whatever window has the focus
// now. After Close() no key goes down any more; the key-up of a key that went
// down before still passes, so that nothing is left held. Pauses and event
// processing stop as well: the program is ending.
class GatedKeyInjector final : public KeyInjector {
public:
    explicit GatedKeyInjector(KeyInjector& target)
        : target_(target)
    {
    }

    void Close() { open_ = false; }
    bool Open() const { return open_; }

    std::int16_t KeyForCharacter(std::uint8_t character) override { return target_.KeyForCharacter(character); }
    std::uint32_t ScanCode(std::int32_t virtualKey) override { return target_.ScanCode(virtualKey); }
    std::uint32_t KeyCharacter(std::int32_t virtualKey) override { return target_.KeyCharacter(virtualKey); }
    std::int16_t KeyState(std::int32_t virtualKey) override { return target_.KeyState(virtualKey); }

    void SendKeyEvent(std::uint8_t virtualKey, std::uint8_t scanCode, std::uint32_t flags) override
    {
        const bool up = (flags & kKeyUp) != 0;
        if (!open_ && !(up && held_.test(virtualKey))) {
            return;
        }
        held_.set(virtualKey, !up);
        target_.SendKeyEvent(virtualKey, scanCode, flags);
    }
    void Pause(std::chrono::milliseconds duration) override
    {
        if (open_) {
            target_.Pause(duration);
        }
    }
    void ProcessPendingEvents() override
    {
        if (open_) {
            target_.ProcessPendingEvents();
        }
    }

private:
    KeyInjector& target_;
    bool open_ = true;
    std::bitset<256> held_;
};

} // namespace qz
