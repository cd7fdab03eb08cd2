#include "timer/self_timer.h"

#include <utility>

namespace qz {

SelfTimer::SelfTimer(TimerLayer& layer)
    : layer_(layer)
{
}

SelfTimer::~SelfTimer()
{
    StopTimer();
}

void SelfTimer::SetEnabled(bool enabled)
{
    enabled_ = enabled;
    StopTimer();
    StartTimer();
}

void SelfTimer::SetInterval(std::int32_t interval)
{
    if (interval < 0) {
        return;
    }
    StopTimer();
    interval_ = interval;
    StartTimer();
}

void SelfTimer::StartTimer()
{
    if (running_ || !enabled_ || interval_ == 0) {
        return;
    }
    const auto result = layer_.Start(*this, std::chrono::milliseconds(interval_));
    if (!result.bound) {
        // Nothing to call us back through: the failure shows as Enabled false.
        enabled_ = false;
        return;
    }
    // A refused platform timer (id 0) still counts as running: no ticks come
    // until the next set restarts it.
    timerId_ = result.id;
    running_ = true;
}

void SelfTimer::StopTimer()
{
    if (!running_) {
        return;
    }
    if (timerId_ != 0) {
        layer_.Stop(timerId_);
    }
    timerId_ = 0;
    running_ = false;
}

void SelfTimer::OnTick(std::uint32_t tickMs)
{
    // The tick count is unsigned 32-bit; widening before the subtraction makes
    // Seconds negative across its wrap instead of wrapping modulo 2^32.
    const Seconds now = Seconds(static_cast<std::int64_t>(tickMs) * 10);
    Seconds elapsed {0};
    if (baseTime_ > Seconds::zero()) {
        elapsed = now - baseTime_;
    } else {
        baseTime_ = now;
    }
    if (!handler_) {
        return;
    }
    // Raising the event is the last thing this tick does with the object: the
    // handler may destroy it. The copy keeps the callable alive meanwhile.
    const TimerHandler handler = handler_;
    try {
        handler(elapsed);
    } catch (...) {
        // The tick boundary: nothing crosses into the event loop, and the timer
        // stays in whatever state the handler left it.
    }
}

} // namespace qz
