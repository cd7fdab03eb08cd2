#include "probe/emulate/script_grammar.h"

#include "decode/press_report.h"
#include "probe/core/hex.h"

#include <array>
#include <charconv>

namespace qz::probe {

namespace {

std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

std::string Lower(std::string_view word)
{
    std::string lower(word);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

// What the user typed, safe to show on a terminal: no control characters,
// and not too long.
std::string Quoted(std::string_view text)
{
    constexpr std::size_t kLongest = 40;
    std::string shown;
    for (const char c : text.substr(0, kLongest)) {
        const auto byte = static_cast<unsigned char>(c);
        shown += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    if (text.size() > kLongest) {
        shown += "...";
    }
    return "'" + shown + "'";
}

// A whole number in plain decimal, an optional minus sign first.
template <typename Number> std::optional<Number> WholeNumber(std::string_view word)
{
    Number value {};
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (word.empty() || error != std::errc() || end != word.data() + word.size()) {
        return std::nullopt;
    }
    return value;
}

bool LooksNumeric(std::string_view word)
{
    return !word.empty() && ((word[0] >= '0' && word[0] <= '9') || word[0] == '-' || word[0] == '+');
}

constexpr const char* kButtons = "a, b, c, d, buzz, power or error";
constexpr const char* kCommands = "PAD BUTTON, wait MS, unplug, replug or end";

std::optional<PressButton> ButtonNamed(std::string_view word)
{
    static constexpr std::array<std::pair<std::string_view, PressButton>, 8> kNames {{
        {"a", PressButton::A},
        {"b", PressButton::B},
        {"c", PressButton::C},
        {"d", PressButton::D},
        {"buzz", PressButton::Buzz},
        {"power", PressButton::Powered},
        {"powered", PressButton::Powered}, // as watch and the tester show it
        {"error", PressButton::Error},
    }};
    const std::string lower = Lower(word);
    for (const auto& [name, button] : kNames) {
        if (lower == name) {
            return button;
        }
    }
    return std::nullopt;
}

std::string PressName(int pad, PressButton button)
{
    return "pad " + std::to_string(pad) + " " + std::string(PressButtonText(button));
}

// Why the model's report cannot carry a press.
std::string Refusal(int pad, PressButton button, const EmulatedModel& model)
{
    const std::string name = ModelName(model.productId);
    if (!model.CmdModel()) {
        return "pad " + std::to_string(pad) + " does not fit the pad byte of the " + name
            + " model's frame, which carries pads 1 to 255 that are not a multiple of ten and the multiples of ten "
              "from 10 to 260";
    }
    if (button == PressButton::Powered || button == PressButton::Error) {
        return "the " + name + " model's code reports carry no " + std::string(PressButtonText(button))
            + " (only the frames of the 0x1003 model do)";
    }
    if (pad >= 1 && pad <= 80) {
        return "pad " + std::to_string(pad) + " has no BUZZ on the " + name
            + " model: its code table gives BUZZ to pads 1 to 30 only";
    }
    return "the " + name + " model's code table has pads 1 to 80 only, not pad " + std::to_string(pad);
}

ParsedLine Refused(std::string reason)
{
    ParsedLine parsed;
    parsed.error = std::move(reason);
    return parsed;
}

ParsedLine Step(EmulateStep step)
{
    ParsedLine parsed;
    parsed.step = std::move(step);
    return parsed;
}

ParsedLine ParsePress(const std::vector<std::string_view>& words, const EmulatedModel& model)
{
    const auto pad = WholeNumber<int>(words[0]);
    if (!pad) {
        return Refused(Quoted(words[0]) + " is not a pad number: a press is PAD BUTTON, for example 5 a");
    }
    if (words.size() == 1) {
        return Refused("pad " + std::to_string(*pad) + " needs a button: " + kButtons);
    }
    if (words.size() > 2) {
        return Refused("one press a line, PAD BUTTON; " + Quoted(words[2]) + " is one word too many");
    }
    const auto button = ButtonNamed(words[1]);
    if (!button) {
        return Refused(Quoted(words[1]) + " is not a button: give " + kButtons);
    }
    const auto data = model.CmdModel() ? CodeReportData(*pad, *button) : FrameReportData(*pad, *button);
    if (!data) {
        return Refused(Refusal(*pad, *button, model));
    }
    EmulateStep step;
    step.kind = EmulateStep::Kind::Send;
    step.data = *data;
    step.what = PressName(*pad, *button);
    return Step(std::move(step));
}

ParsedLine ParseWait(const std::vector<std::string_view>& words)
{
    if (words.size() != 2) {
        return Refused(words.size() < 2
                ? "wait needs a time in milliseconds, for example wait 500"
                : "wait takes one time in milliseconds; " + Quoted(words[2]) + " is one word too many");
    }
    const auto ms = WholeNumber<std::int64_t>(words[1]);
    if (!ms || *ms < 0 || *ms > kLongestWaitMs) {
        return Refused(Quoted(words[1]) + " is not a time for wait: give a whole number of milliseconds from 0 to "
            + std::to_string(kLongestWaitMs));
    }
    EmulateStep step;
    step.kind = EmulateStep::Kind::Wait;
    step.pause = std::chrono::milliseconds(*ms);
    return Step(std::move(step));
}

} // namespace

ParsedLine ParseEmulateLine(std::string_view line, const EmulatedModel& model)
{
    const std::vector<std::string_view> words = Words(line.substr(0, line.find('#')));
    if (words.empty()) {
        return {};
    }
    if (LooksNumeric(words[0])) {
        return ParsePress(words, model);
    }
    const std::string command = Lower(words[0]);
    if (command == "wait") {
        return ParseWait(words);
    }
    EmulateStep step;
    if (command == "unplug") {
        step.kind = EmulateStep::Kind::Unplug;
    } else if (command == "replug") {
        step.kind = EmulateStep::Kind::Replug;
    } else if (command == "end") {
        step.kind = EmulateStep::Kind::End;
    } else {
        return Refused(Quoted(words[0]) + " is not a command: give " + kCommands);
    }
    if (words.size() > 1) {
        return Refused(command + " takes nothing after it, yet " + Quoted(words[1]) + " follows");
    }
    return Step(std::move(step));
}

ParsedFile ParseScript(std::string_view text, const EmulatedModel& model)
{
    ParsedFile file;
    bool plugged = true;
    ForEachLine(text, [&](std::size_t number, std::string_view line) {
        ParsedLine parsed = ParseEmulateLine(line, model);
        if (!parsed.error.empty()) {
            file.problem = FileProblem {number, parsed.error};
            return false;
        }
        if (!parsed.step) {
            return true;
        }
        EmulateStep& step = *parsed.step;
        if (step.kind == EmulateStep::Kind::Send && !plugged) {
            file.problem
                = FileProblem {number, step.what + " comes while the transceiver is unplugged: replug it first"};
            return false;
        }
        plugged = step.kind == EmulateStep::Kind::Unplug ? false
            : step.kind == EmulateStep::Kind::Replug     ? true
                                                         : plugged;
        step.line = number;
        file.steps.push_back(std::move(step));
        return true;
    });
    if (file.problem) {
        file.steps.clear();
    }
    return file;
}

} // namespace qz::probe
