#pragma once

#include "keyboard/altgr_sequencer.h"
#include "keyboard/key_injector.h"
#include "keyboard/key_layout.h"
#include "keyboard/key_sink.h"

#include <array>
#include <bitset>
#include <chrono>
#include <functional>
#include <memory>

namespace qz {

// The key-injection layer made of a keyboard layout, which tells the keys,
// and a sink, which takes the key events. The same whichever sink types:
// the virtual-key numbering, the AltGr pair, the lock and key states, the
// pause, and letting go of every key still held when it goes.
//
// `layout` and `sink` must outlive it. `processPendingEvents` runs the
// program's queued user-interface events (none when empty).
class LayoutKeyInjector final : public KeyInjector {
public:
    LayoutKeyInjector(KeyLayout& layout, KeySink& sink, std::function<void()> processPendingEvents = {});
    // Releases the keys still held (a press with bHold and no release), so
    // that none stays down once we are gone.
    ~LayoutKeyInjector() override;

    LayoutKeyInjector(const LayoutKeyInjector&) = delete;
    LayoutKeyInjector& operator=(const LayoutKeyInjector&) = delete;

    std::int16_t KeyForCharacter(std::uint8_t character) override;
    std::uint32_t ScanCode(std::int32_t virtualKey) override;
    std::uint32_t KeyCharacter(std::int32_t virtualKey) override;
    void SendKeyEvent(std::uint8_t virtualKey, std::uint8_t scanCode, std::uint32_t flags) override;
    std::int16_t KeyState(std::int32_t virtualKey) override;
    void Pause(std::chrono::milliseconds duration) override;
    void ProcessPendingEvents() override;

private:
    void Send(std::uint16_t code, bool down);
    // The held table while a character is being typed, else the current one.
    std::shared_ptr<const KeyTable> Table();

    KeyLayout& layout_;
    KeySink& sink_;
    // The table of the last lookup, held until the next lookup or pause: all
    // of a character's key events come from the table its key was found in,
    // even when the keymap changes meanwhile (a Ctrl held back for AltGr
    // would otherwise meet a table without a level-3 key).
    std::shared_ptr<const KeyTable> table_;
    std::function<void()> processPendingEvents_;
    AltGrSequencer altGr_;
    AltGrSequencer::Emit emit_;
    std::bitset<256> held_; // by key code: keys we pressed and have not released
    // The key each virtual key went down on, so that its release reaches the
    // same key after a layout switch in between.
    std::array<std::uint16_t, 256> downCodeOfVk_ {};
};

// Blocks the calling thread for `duration`: never shorter, and not much longer
// (a plain sleep wakes up 0.1 to 0.3 ms late, which adds up over a string).
void PreciseSleep(std::chrono::milliseconds duration);

} // namespace qz
