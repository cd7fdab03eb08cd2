#pragma once

#include "link/led_report.h"
#include "probe/output.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace qz {
class HidrawLayer;
}

namespace qz::probe {

// Options every command takes.
struct CommonOptions {
    std::string device; // --device NODE; empty: the first transceiver in the tester's search order
    bool json = false; // --json
};

// Each command returns its exit status (ExitStatus as an int).

// Every transceiver: node, model, report lengths, whether it can be opened,
// and why not; the other HID interfaces counted, or listed with `all`.
int RunList(const CommonOptions& options, bool all, HidrawLayer& hid, Output& output);

// Options of `watch` alone.
struct WatchOptions {
    std::optional<std::string> roundButton; // --round-button: only this button takes a place in a round
};

// One line per input report until SIGINT or SIGTERM; times count from
// `origin`. Enter on standard input, or SIGUSR1, closes a round and prints
// its ranking.
int RunWatch(const CommonOptions& options, HidrawLayer& hid, Output& output,
    std::chrono::steady_clock::time_point origin, const WatchOptions& watchOptions = {});

// Options of `check` alone.
struct CheckOptions {
    int pads = 80; // --pads N: the kit is pads 1 to N (1 to 260)
    bool light = false; // --light: LEDOn to each pad when first seen, LEDOff to each at the end
};

// A full-terminal grid of pads 1 to N until q, Ctrl+C or SIGTERM; then the
// table on standard output. Success when every pad was seen, Failed when
// not; Usage without a terminal to draw on.
int RunCheck(const CommonOptions& options, const CheckOptions& checkOptions, HidrawLayer& hid, Output& output);

// Sends one LED command with the tester's bytes.
int RunLed(const CommonOptions& options, LedCommand command, std::int16_t Remote, HidrawLayer& hid, Output& output);

// ---- emulate ----

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
