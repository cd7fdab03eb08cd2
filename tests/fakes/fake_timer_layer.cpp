#include "fakes/fake_timer_layer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qz {

TimerLayer::StartResult FakeTimerLayer::Start(TickSink& sink, std::chrono::milliseconds interval)
{
    if (interval.count() <= 0) {
        std::fprintf(stderr, "FakeTimerLayer: Start with a non-positive interval\n");
        std::abort();
    }
    ++starts_;
    if (failBind) {
        return {false, 0};
    }
    if (refuseStart) {
        return {true, 0};
    }
    const TimerId id = nextId_++;
    timers_[id] = Entry {&sink, interval.count(), nowMs_ + interval.count()};
    return {true, id};
}

void FakeTimerLayer::Stop(TimerId id)
{
    if (timers_.erase(id) == 0) {
        std::fprintf(stderr, "FakeTimerLayer: Stop of unknown timer %u\n", id);
        std::abort();
    }
    ++stops_;
}

bool FakeTimerLayer::TickOnce()
{
    if (timers_.empty()) {
        return false;
    }
    auto next = timers_.begin();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.dueMs < next->second.dueMs) {
            next = it;
        }
    }
    nowMs_ = next->second.dueMs;
    next->second.dueMs += next->second.intervalMs;
    // The sink may stop or restart timers, so `next` is not used after this.
    next->second.sink->OnTick(NowMs());
    return true;
}

void FakeTimerLayer::Advance(std::chrono::milliseconds by)
{
    const std::int64_t end = nowMs_ + by.count();
    for (;;) {
        const Entry* earliest = nullptr;
        for (const auto& [id, entry] : timers_) {
            if (earliest == nullptr || entry.dueMs < earliest->dueMs) {
                earliest = &entry;
            }
        }
        if (earliest == nullptr || earliest->dueMs > end) {
            break;
        }
        TickOnce();
    }
    // A tick handler may itself advance the clock past `end`: never go back.
    nowMs_ = std::max(nowMs_, end);
}

} // namespace qz
