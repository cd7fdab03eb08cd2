#pragma once

#include "keyboard/key_injector.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qz {

// A key-injection layer for tests: a US-like layout that tests can change key
// by key, and a record of every key event, pause and event-processing request
// in the order they came. Pauses do not sleep.
class FakeKeyInjector final : public KeyInjector {
public:
    struct Event {
        enum class Kind { KeyDown, KeyUp, Pause, ProcessEvents };
        Kind kind;
        std::uint8_t virtualKey = 0; // key events only
        std::uint8_t scanCode = 0; // key events only
        std::uint32_t flags = 0; // key events only, as sent
        std::chrono::milliseconds duration {0}; // pauses only

        bool operator==(const Event&) const = default;
    };

    // Builders for expected event lists.
    static Event Down(std::uint8_t vk, std::uint8_t scan = 0, std::uint32_t flags = 0)
    {
        return {Event::Kind::KeyDown, vk, scan, flags, {}};
    }
    static Event Up(std::uint8_t vk, std::uint8_t scan = 0, std::uint32_t flags = kKeyUp)
    {
        return {Event::Kind::KeyUp, vk, scan, flags, {}};
    }
    static Event PauseOf(std::chrono::milliseconds d) { return {Event::Kind::Pause, 0, 0, 0, d}; }
    static Event ProcessEvents() { return {Event::Kind::ProcessEvents, 0, 0, 0, {}}; }

    FakeKeyInjector();

    // The layout: what KeyForCharacter answers for a Latin-1 character.
    void SetKey(std::uint8_t character, std::int16_t keyAndModifiers) { layout_[character] = keyAndModifiers; }
    void RemoveKey(std::uint8_t character) { layout_.erase(character); }
    // The key's scan code and unmodified character (defaults: see the .cpp).
    void SetScanCode(std::int32_t vk, std::uint32_t scanCode) { scanCodes_[vk] = scanCode; }
    void SetKeyCharacter(std::int32_t vk, std::uint32_t character) { keyCharacters_[vk] = character; }
    // The state KeyState reports for a key (default 0).
    void SetKeyState(std::int32_t vk, std::int16_t state) { keyStates_[vk] = state; }

    const std::vector<Event>& Events() const { return events_; }
    std::vector<Event> TakeEvents();
    // Every KeyState query, in order.
    const std::vector<std::int32_t>& StateQueries() const { return stateQueries_; }
    // The events as short text ("v16 v66 ^66 ^16 p20 e"), for readable failures.
    static std::string Describe(const std::vector<Event>& events);

    // Called whenever the logic asks to process pending UI events.
    std::function<void()> onProcessEvents;

    std::int16_t KeyForCharacter(std::uint8_t character) override;
    std::uint32_t ScanCode(std::int32_t virtualKey) override;
    std::uint32_t KeyCharacter(std::int32_t virtualKey) override;
    void SendKeyEvent(std::uint8_t virtualKey, std::uint8_t scanCode, std::uint32_t flags) override;
    std::int16_t KeyState(std::int32_t virtualKey) override;
    void Pause(std::chrono::milliseconds duration) override;
    void ProcessPendingEvents() override;

private:
    std::map<std::uint8_t, std::int16_t> layout_;
    std::map<std::int32_t, std::uint32_t> scanCodes_;
    std::map<std::int32_t, std::uint32_t> keyCharacters_;
    std::map<std::int32_t, std::int16_t> keyStates_;
    std::vector<Event> events_;
    std::vector<std::int32_t> stateQueries_;
};

} // namespace qz
