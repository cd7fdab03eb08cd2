#pragma once

#include <QRect>

#include <cstdint>

namespace qz {

// The number of display monitors of the desktop, counted one by one; 0 when
// the window system reports none.
std::int32_t GetMonitorCount();

// The primary screen in logical pixels, frame of reference of the desktop.
// An empty rectangle when there is no screen at all.
QRect PrimaryScreenRect();

} // namespace qz
