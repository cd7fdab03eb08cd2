#pragma once

#include "decode/transceiver_data.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qz::probe {

// One input report as the probe's commands see it, decoded as the tester
// decodes it.
struct ReportRecord {
    double timeMs = 0; // since the start of watching
    ByteArray raw; // report ID first, then the bytes delivered; no spare byte
    bool press = false; // decoded to a pad
    std::int16_t pad = -1;
    std::string button;
};

// Decodes a report exactly as the tester does. `buffer` is the tester's
// report buffer after the read: input report length + 1 bytes, of which the
// read placed `delivered` from index 0 (report ID included) and left the
// rest as they were.
ReportRecord DecodeReport(const ByteArray& buffer, std::size_t delivered, double timeMs);

// Milliseconds from `origin` to `then`, to the microsecond.
double MillisecondsBetween(std::chrono::steady_clock::time_point origin, std::chrono::steady_clock::time_point then);

// The buttons a player presses, as the decoder names them. POWERED and ERROR
// are reports of a pad, not presses.
bool IsPlayerButton(std::string_view button);

} // namespace qz::probe
