#pragma once

#include "timer/timer_layer.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

namespace qz {

// A timer layer for tests: nothing ticks until the test advances the clock.
// Advance() delivers every tick that falls due, in time order, with the
// 32-bit millisecond tick count of that moment.
class FakeTimerLayer final : public TimerLayer {
public:
    explicit FakeTimerLayer(std::uint32_t startMs = 1000)
        : nowMs_(startMs)
    {
    }

    StartResult Start(TickSink& sink, std::chrono::milliseconds interval) override;
    void Stop(TimerId id) override;

    // Moves the clock forward, delivering the ticks that fall due on the way.
    void Advance(std::chrono::milliseconds by);
    // Moves the clock to the next tick of any timer and delivers it; false when
    // no timer runs.
    bool TickOnce();

    std::uint32_t NowMs() const { return static_cast<std::uint32_t>(nowMs_); }
    std::size_t RunningCount() const { return timers_.size(); }
    std::size_t StartCount() const { return starts_; }
    std::size_t StopCount() const { return stops_; }

    // Failure injection: the next starts cannot bind, or are refused.
    bool failBind = false;
    bool refuseStart = false;

private:
    struct Entry {
        TickSink* sink;
        std::int64_t intervalMs;
        std::int64_t dueMs;
    };
    std::int64_t nowMs_;
    TimerId nextId_ = 1;
    std::map<TimerId, Entry> timers_;
    std::size_t starts_ = 0;
    std::size_t stops_ = 0;
};

} // namespace qz
