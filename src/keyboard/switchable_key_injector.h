#pragma once

#include "keyboard/key_injector.h"
#include "keyboard/key_layout.h"
#include "keyboard/key_sink.h"
#include "keyboard/layout_key_injector.h"

#include <functional>
#include <memory>

namespace qz {

// The key-injection layer whose layout and sink may change while the
// program runs: the desktop grants its emulated-input keyboard a while
// after start, takes it away later, or a sink is chosen only then.
//
// Each Switch() makes a new LayoutKeyInjector on the new pair; the old one
// goes at once and lets go of the keys it still held, into its own sink
// (which must live until Switch() returns). The queued user-interface events
// run here rather than inside the current layer: the handlers that switch
// run only there, between two characters, so a switch never destroys a
// layer that has a call on the stack, and never splits a character's lookup
// from its key events.
class SwitchableKeyInjector final : public KeyInjector {
public:
    SwitchableKeyInjector(KeyLayout& layout, KeySink& sink, std::function<void()> processPendingEvents = {});

    void Switch(KeyLayout& layout, KeySink& sink);
    KeySink& Sink() const { return *sink_; }

    std::int16_t KeyForCharacter(std::uint8_t character) override { return current_->KeyForCharacter(character); }
    std::uint32_t ScanCode(std::int32_t virtualKey) override { return current_->ScanCode(virtualKey); }
    std::uint32_t KeyCharacter(std::int32_t virtualKey) override { return current_->KeyCharacter(virtualKey); }
    void SendKeyEvent(std::uint8_t virtualKey, std::uint8_t scanCode, std::uint32_t flags) override
    {
        current_->SendKeyEvent(virtualKey, scanCode, flags);
    }
    std::int16_t KeyState(std::int32_t virtualKey) override { return current_->KeyState(virtualKey); }
    void Pause(std::chrono::milliseconds duration) override { current_->Pause(duration); }
    void ProcessPendingEvents() override;

private:
    std::function<void()> processPendingEvents_;
    KeySink* sink_;
    std::unique_ptr<LayoutKeyInjector> current_;
};

} // namespace qz
