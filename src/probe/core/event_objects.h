#pragma once

#include "probe/core/json_line.h"

#include <cstdint>
#include <string>

namespace qz::probe {

struct ReportRecord;
struct Round;

// The JSON objects of the probe's events, one per line in `watch --json`
// and one per frame of `serve`: each names what it is in "event", but for a
// report that decodes to no press, which keeps watch's form with "pad" and
// "button" null.
//   {"event": "press", "time_ms": 1234.567, "raw": "00fa07000504fc0000", "pad": 5, "button": "A"}
//   {"time_ms": 1300.0, "raw": "00fa07000504fd0000", "pad": null, "button": null}
//   {"event": "connected", "time_ms": 0.02, "node": "/dev/hidraw1", "model": "0x1003"}
//   {"event": "unplugged", "time_ms": 5012.3, "node": "/dev/hidraw1"}
//   {"event": "round", "round": 1, "ranking": [{"pad": 12, "button": "BUZZ", "delay_ms": 0.0}]}
Json ReportObject(const ReportRecord& record);
Json ConnectedObject(double timeMs, const std::string& node, std::uint16_t productId);
Json UnpluggedObject(double timeMs, const std::string& node);
Json RoundObject(const Round& round);

} // namespace qz::probe
