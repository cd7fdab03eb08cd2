#pragma once

#include "decode/transceiver_data.h"
#include "probe/text.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::probe {

struct Round;

// One input report as `watch` shows it.
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

// The lines of `watch`, as text for people or as JSON Lines, and the counts
// for its closing summary.
//   {"time_ms": 1234.567, "raw": "00fa07000504fc0000", "pad": 5, "button": "A"}
//   {"event": "connected", "time_ms": 0.02, "node": "/dev/hidraw1", "model": "0x1003"}
//   {"event": "unplugged", "time_ms": 5012.3, "node": "/dev/hidraw1"}
//   {"event": "round", "round": 1, "ranking": [{"pad": 12, "button": "BUZZ", "delay_ms": 0.0}]}
class WatchPrinter {
public:
    WatchPrinter(bool json, Style style);

    std::string Report(const ReportRecord& record);
    std::string Connected(double timeMs, const std::string& node, std::uint16_t productId) const;
    std::string Unplugged(double timeMs, const std::string& node);
    // A closed round: one JSON object, or for people a heading and one line
    // per place ("1. pad 12 BUZZ +0.0 ms"). `button` is the one button that
    // counted, if only one did.
    std::vector<std::string> RoundLines(const Round& round, const std::optional<std::string>& button);
    // One line for standard error: how long, how many reports of each kind,
    // how many unplugs and rounds.
    std::string Summary(double elapsedMs) const;

private:
    bool json_;
    Style style_;
    std::size_t presses_ = 0;
    std::size_t notPresses_ = 0;
    std::size_t unplugs_ = 0;
    std::size_t rounds_ = 0;
};

} // namespace qz::probe
