#pragma once

#include "keyboard/key_injector.h"

#include <memory>

namespace qz {

// Types keys on an X11 display: XTest sends the key events, XKB tells which
// key and shift level types a character on the current layout and group, and
// the keyboard indicators give the lock states. Layout changes made while the
// program runs (setxkbmap, a desktop's layout switcher) are followed.
//
// Opens its own connection to the display named by DISPLAY. Without a
// display (or without the XTest and XKB extensions) it types nothing: every
// character reads as having no key, and key events are dropped.
class X11KeyInjector final : public KeyInjector {
public:
    X11KeyInjector();
    // Connects to the named display instead of DISPLAY (tests, tools).
    explicit X11KeyInjector(const char* displayName);
    ~X11KeyInjector() override;

    X11KeyInjector(const X11KeyInjector&) = delete;
    X11KeyInjector& operator=(const X11KeyInjector&) = delete;

    // True when a display with XTest and XKB is connected.
    bool Connected() const;

    std::int16_t KeyForCharacter(std::uint8_t character) override;
    std::uint32_t ScanCode(std::int32_t virtualKey) override;
    std::uint32_t KeyCharacter(std::int32_t virtualKey) override;
    void SendKeyEvent(std::uint8_t virtualKey, std::uint8_t scanCode, std::uint32_t flags) override;
    std::int16_t KeyState(std::int32_t virtualKey) override;
    void Pause(std::chrono::milliseconds duration) override;
    void ProcessPendingEvents() override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace qz
