#pragma once

#include "decode/transceiver_data.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::probe {

// One thing a run of `emulate` does.
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

// A file that could not be used: the line (counted from 1; 0 for the file as
// a whole) and why.
struct FileProblem {
    std::size_t line = 0;
    std::string reason;
};

// The steps of a script or a recording, checked whole before the run.
struct ParsedFile {
    std::vector<EmulateStep> steps;
    std::optional<FileProblem> problem; // set: nothing may be sent
};

// The message line for a file's problem: "qz470-probe: FILE:LINE: reason;
// nothing was sent."
std::string FileProblemLine(const std::string& file, const FileProblem& problem);

// A blank between words; also what a blank line holds.
inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Splits a text into lines; the last one may lack its newline.
template <typename Each> void ForEachLine(std::string_view text, Each each)
{
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (!each(++number, line)) {
            return;
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
}

} // namespace qz::probe
