#include "ui/monitor_enum.h"

#include <QGuiApplication>
#include <QScreen>

namespace qz {

namespace {

// Called once per monitor; the counter is the caller's.
bool MonitorEnumProc(const QScreen* /*monitor*/, std::int32_t& counter)
{
    ++counter;
    return true;
}

} // namespace

std::int32_t GetMonitorCount()
{
    std::int32_t counter = 0;
    if (QGuiApplication::instance() == nullptr) {
        return counter;
    }
    // Each RandR monitor (or output) is one QScreen; virtual siblings included.
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (!MonitorEnumProc(screen, counter)) {
            break;
        }
    }
    return counter;
}

QRect PrimaryScreenRect()
{
    if (QGuiApplication::instance() == nullptr) {
        return {};
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    return primary != nullptr ? primary->geometry() : QRect();
}

} // namespace qz
