#pragma once

#include "probe/io/output.h"

#include <cstdint>
#include <optional>
#include <string>

namespace qz::probe {

struct EmulateOptions {
    std::optional<std::uint16_t> model; // --model; 0x1003 unless a replayed recording names its own
    std::string script; // --script FILE
    std::string replay; // --replay FILE
    double speed = 1.0; // --speed F: replayed gaps divided by F
};

// A virtual transceiver through /dev/uhid until the run ends (an unplug):
// typed commands, a script or a replay; every output report the host writes
// is printed with its decoding.
int RunEmulate(const EmulateOptions& options, Output& output);

} // namespace qz::probe
