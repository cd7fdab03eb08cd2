#include "timer/qt/qt_timer_layer.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimerEvent>

#include <time.h>

#include <unordered_map>

namespace qz {

class QtTimerLayer::Dispatcher final : public QObject {
public:
    std::unordered_map<int, TickSink*> sinks;

protected:
    void timerEvent(QTimerEvent* event) override
    {
        const auto it = sinks.find(event->timerId());
        if (it == sinks.end()) {
            return; // stopped while this event was queued
        }
        // The sink may stop this timer, start others or be destroyed: touch
        // nothing of ours after the call.
        TickSink* sink = it->second;
        sink->OnTick(TickCount());
    }
};

QtTimerLayer::QtTimerLayer()
    : dispatcher_(std::make_unique<Dispatcher>())
{
}

QtTimerLayer::~QtTimerLayer()
{
    for (const auto& [id, sink] : dispatcher_->sinks) {
        dispatcher_->killTimer(id);
    }
}

TimerLayer::StartResult QtTimerLayer::Start(TickSink& sink, std::chrono::milliseconds interval)
{
    // Without an application object there is no event loop to deliver ticks.
    if (QCoreApplication::instance() == nullptr) {
        return {false, 0};
    }
    // The default coarse timer may drift by 5 %; polling wants the period it asks for.
    const int id = dispatcher_->startTimer(interval, Qt::PreciseTimer);
    if (id <= 0) {
        return {true, 0};
    }
    dispatcher_->sinks[id] = &sink;
    return {true, static_cast<TimerId>(id)};
}

void QtTimerLayer::Stop(TimerId id)
{
    if (dispatcher_->sinks.erase(static_cast<int>(id)) != 0) {
        dispatcher_->killTimer(static_cast<int>(id));
    }
}

std::uint32_t QtTimerLayer::TickCount()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

} // namespace qz
