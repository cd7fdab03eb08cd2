#pragma once

#include "timer/timer_layer.h"

#include <memory>

namespace qz {

// Ticks on Qt's event loop. One dispatcher object serves every timer of the
// layer, so stopping a timer from inside its own tick never deletes the
// object that is delivering that tick.
class QtTimerLayer final : public TimerLayer {
public:
    QtTimerLayer();
    ~QtTimerLayer() override;

    StartResult Start(TickSink& sink, std::chrono::milliseconds interval) override;
    void Stop(TimerId id) override;

    // The platform's tick count: milliseconds of the monotonic clock, as an
    // unsigned 32-bit value that wraps about every 49.7 days.
    static std::uint32_t TickCount();

private:
    class Dispatcher;
    std::unique_ptr<Dispatcher> dispatcher_;
};

} // namespace qz
