#pragma once

#include "timer/timer_layer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ratio>

namespace qz {

// Fixed-point seconds: a signed 64-bit count of ten-thousandths of a second.
using Seconds = std::chrono::duration<std::int64_t, std::ratio<1, 10000>>;

// A periodic timer that calls its one listener back on the user-interface
// thread every Interval milliseconds while Enabled is true and Interval is not
// zero. Every set of Enabled, and every set of Interval to 0 or more, stops
// the timer and starts it afresh, so the next tick comes one full interval
// after the set.
class SelfTimer final : private TimerLayer::TickSink {
public:
    using TimerHandler = std::function<void(Seconds)>;

    explicit SelfTimer(TimerLayer& layer);
    ~SelfTimer();
    SelfTimer(const SelfTimer&) = delete;
    SelfTimer& operator=(const SelfTimer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    // Milliseconds; never negative. A negative set is ignored; 0 stops.
    std::int32_t Interval() const { return interval_; }
    void SetInterval(std::int32_t interval);

    // Forgets the base time: the next tick reports 0 and becomes the new base.
    void Reset() { baseTime_ = Seconds::zero(); }

    // The Timer event, raised to one listener. The handler may stop, restart
    // or even destroy this timer. An error that escapes the handler ends at
    // the tick: the timer stays as the handler left it.
    void SetTimerHandler(TimerHandler handler) { handler_ = std::move(handler); }

    // True while a platform timer runs for this object.
    bool Running() const { return running_; }

private:
    void StartTimer();
    void StopTimer();
    void OnTick(std::uint32_t tickMs) override;

    TimerLayer& layer_;
    bool enabled_ = true;
    std::int32_t interval_ = 0;
    Seconds baseTime_ {0};
    TimerLayer::TimerId timerId_ = 0;
    bool running_ = false;
    TimerHandler handler_;
};

} // namespace qz
