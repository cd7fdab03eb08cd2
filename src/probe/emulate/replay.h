#pragma once

#include "probe/emulate/emulate_step.h"
#include "probe/emulate/emulated_model.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace qz::probe {

// The product ID a `watch --json` recording was made with: the model of its
// first "connected" event; nullopt when it names none.
std::optional<std::uint16_t> RecordedModel(std::string_view text);

// A `watch --json` recording (JSON Lines) as steps due at their recorded
// times, with every gap divided by `speed`:
//   {"event": "press", "time_ms": 1.5, "raw": "00fa07...", ...}
//   {"time_ms": 1.5, "raw": "00fa07...", ...}  sends raw, less its report ID 0;
//                                              its length must be the model's
//                                              (older recordings, and reports
//                                              that decode to no press, have
//                                              no "event")
//   {"event": "unplugged", "time_ms": ...}     unplugs
//   {"event": "connected", "time_ms": ...}     replugs, after an unplug
// Blank lines and other events are passed over; times may not go back.
ParsedFile ParseReplay(std::string_view text, const EmulatedModel& model, double speed);

} // namespace qz::probe
