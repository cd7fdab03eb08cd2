#pragma once

#include "probe/emulate/emulate_step.h"
#include "probe/emulate/emulated_model.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz::probe {

// The longest pause of `wait MS`.
inline constexpr std::int64_t kLongestWaitMs = 2147483647;

// One typed or scripted line: a step, nothing (a blank line or a comment), or
// the reason it is refused (then nothing may be sent for it).
struct ParsedLine {
    std::optional<EmulateStep> step;
    std::string error;
};

// The grammar, one command a line, '#' starting a comment, words separated by
// blanks, commands and buttons in any case:
//   PAD BUTTON   a press; BUTTON is a, b, c, d, buzz, power or error
//   wait MS      a pause of MS milliseconds, 0 to kLongestWaitMs
//   unplug       remove the transceiver
//   replug       remove it (when present) and make it again
//   end          end the run
// A press the model's report cannot carry is refused, saying what it can.
ParsedLine ParseEmulateLine(std::string_view line, const EmulatedModel& model);

// A script: every line by the grammar above, and no press while unplugged.
// The first bad line is the problem.
ParsedFile ParseScript(std::string_view text, const EmulatedModel& model);

} // namespace qz::probe
