#pragma once

#include "link/led_report.h"
#include "probe/core/options.h"
#include "probe/io/output.h"

#include <cstdint>

namespace qz {
class HidrawLayer;
}

namespace qz::probe {

// Sends one LED command with the tester's bytes.
int RunLed(const CommonOptions& options, LedCommand command, std::int16_t pad, HidrawLayer& hid, Output& output);

} // namespace qz::probe
