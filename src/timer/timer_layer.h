#pragma once

#include <chrono>
#include <cstdint>

namespace qz {

// What SelfTimer needs of the platform: a periodic tick bound to one object,
// delivered on the user-interface thread, carrying the platform's 32-bit
// millisecond tick count.
class TimerLayer {
public:
    using TimerId = std::uint32_t; // 0: no platform timer

    // The object a tick is delivered to.
    class TickSink {
    public:
        virtual void OnTick(std::uint32_t tickMs) = 0;

    protected:
        ~TickSink() = default;
    };

    struct StartResult {
        // false: the layer cannot bind a tick routine to the object at all.
        bool bound = false;
        // The running platform timer; 0 when the platform refused it (that
        // refusal is not reported further: no ticks come).
        TimerId id = 0;
    };

    virtual ~TimerLayer() = default;

    // Starts ticks every `interval` for `sink`. Ticks for one id arrive one at
    // a time; a tick is never delivered after Stop(id) has returned, also when
    // Stop is called from inside that id's own tick.
    virtual StartResult Start(TickSink& sink, std::chrono::milliseconds interval) = 0;
    virtual void Stop(TimerId id) = 0;
};

} // namespace qz
