#pragma once

#include "probe/core/options.h"
#include "probe/io/output.h"

namespace qz {
class HidrawLayer;
}

namespace qz::probe {

// Every transceiver: node, model, report lengths, whether it can be opened,
// and why not; the other HID interfaces counted, or listed with `all`.
// Returns the exit status (ExitStatus as an int), as every command does.
int RunList(const CommonOptions& options, bool all, HidrawLayer& hid, Output& output);

} // namespace qz::probe
