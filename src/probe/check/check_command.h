#pragma once

#include "probe/check/kit_check.h"
#include "probe/core/options.h"
#include "probe/io/output.h"

namespace qz {
class HidrawLayer;
}

namespace qz::probe {

// Options of `check` alone.
struct CheckOptions {
    int pads = kDefaultPads; // --pads N: the kit is pads 1 to N (1 to kMaxPads)
    bool light = false; // --light: LEDOn to each pad when first seen, LEDOff to each at the end
};

// A full-terminal grid of pads 1 to N until q, Ctrl+C or SIGTERM; then the
// table on standard output. Success when every pad was seen, Failed when
// not; Usage without a terminal to draw on.
int RunCheck(const CommonOptions& options, const CheckOptions& checkOptions, HidrawLayer& hid, Output& output);

} // namespace qz::probe
