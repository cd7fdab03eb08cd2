#pragma once

#include "keyboard/key_sink.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz {

// A key sink for tests: records every key event and flush in order, and
// reports the lock LEDs a test sets.
class FakeKeySink final : public KeySink {
public:
    struct Event {
        std::uint16_t code = 0; // 0 for a flush
        bool down = false;
        bool operator==(const Event&) const = default;
    };
    static Event Down(std::uint16_t code) { return {code, true}; }
    static Event Up(std::uint16_t code) { return {code, false}; }
    static Event Flushed() { return {0, false}; }

    std::vector<Event> TakeEvents();
    // The events as short text ("v42 v16 ^16 ^42 |"), for readable failures.
    static std::string Describe(const std::vector<Event>& events);

    // What LockOn reports; nullopt (the default) when the sink cannot tell.
    void SetLed(LockKey lock, std::optional<bool> on) { leds_[static_cast<std::size_t>(lock)] = on; }

    void Send(std::uint16_t code, bool down) override { events_.push_back({code, down}); }
    void Flush() override { events_.push_back(Flushed()); }
    std::optional<bool> LockOn(LockKey lock) override { return leds_[static_cast<std::size_t>(lock)]; }

private:
    std::vector<Event> events_;
    std::array<std::optional<bool>, 3> leds_ {};
};

} // namespace qz
