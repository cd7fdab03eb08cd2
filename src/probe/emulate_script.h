#pragma once

// What `emulate` does, without the device: the models it can be, the command
// grammar of typed lines and script files, the replay of `watch --json`
// recordings, and the lines it prints for the reports the host sends back.

#include "decode/transceiver_data.h"
#include "link/hid_layer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qz::probe {

// A transceiver model as `emulate` makes it: the report descriptor of the
// real one (data/descriptors, built into the program) and the report
// lengths the host learns from it.
struct EmulatedModel {
    std::uint16_t productId = 0;
    std::span<const std::uint8_t> descriptor;
    HidLayer::ReportLengths lengths; // each counting the report ID byte, as the host sees them
    bool CmdModel() const;
    // Data bytes of one input report: the transceivers number no reports.
    std::size_t InputDataSize() const { return lengths.input - 1u; }
};

// The model with this product ID, 0x1001 or 0x1003; nullptr for any other.
const EmulatedModel* FindEmulatedModel(std::uint16_t productId);

// The longest pause of `wait MS`.
inline constexpr std::int64_t kLongestWaitMs = 2147483647;

// One thing a run does.
struct EmulateStep {
    enum class Kind { Send, Wait, Unplug, Replug, End };
    Kind kind = Kind::Send;
    // Send: the input report's data bytes, and what it is ("pad 5 A", or
    // "not a press" for a replayed report that decodes to none).
    ByteArray data;
    std::string what;
    // Wait: how long.
    std::chrono::milliseconds pause {0};
    // Replay: when the step is due, counted from the start of the run.
    std::optional<std::chrono::microseconds> at;
    // The line of the file it comes from, counted from 1.
    std::size_t line = 0;
};

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

// A file that could not be used: the line (counted from 1; 0 for the file as
// a whole) and why.
struct FileProblem {
    std::size_t line = 0;
    std::string reason;
};

struct ParsedFile {
    std::vector<EmulateStep> steps;
    std::optional<FileProblem> problem; // set: nothing may be sent
};

// A script: every line by the grammar above, and no press while unplugged.
// The first bad line is the problem.
ParsedFile ParseScript(std::string_view text, const EmulatedModel& model);

// The product ID a `watch --json` recording was made with: the model of its
// first "connected" event; nullopt when it names none.
std::optional<std::uint16_t> RecordedModel(std::string_view text);

// A `watch --json` recording (JSON Lines) as steps due at their recorded
// times, with every gap divided by `speed`:
//   {"time_ms": 1.5, "raw": "00fa07...", ...}  sends raw, less its report ID 0;
//                                              its length must be the model's
//   {"event": "unplugged", "time_ms": ...}     unplugs
//   {"event": "connected", "time_ms": ...}     replugs, after an unplug
// Blank lines and other events are passed over; times may not go back.
ParsedFile ParseReplay(std::string_view text, const EmulatedModel& model, double speed);

// The message line for a file's problem: "qz470-probe: FILE:LINE: reason;
// nothing was sent."
std::string FileProblemLine(const std::string& file, const FileProblem& problem);

// The line printed for an output report as /dev/uhid hands it over: its bytes
// in hex without the leading report ID 0, then every reading of it as an LED
// report of the model, joined by "or":
//   FA 08 01 07 00 02 F6 AF  LED short pad 7
//   FA 08 01 50 00 02 A1 AF  LED short no particular pad or pad 90
//   63 6D 64 51 00  LED flash pad 1 or LED on pad 35 or LED short pad 75
// The hex alone when no LED report of the model has these bytes.
std::string OutputReportLine(std::span<const std::uint8_t> report, bool cmdModel);

} // namespace qz::probe
