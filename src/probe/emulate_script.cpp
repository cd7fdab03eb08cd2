#include "probe/emulate_script.h"

#include "decode/press_report.h"
#include "link/led_report.h"
#include "link/report_descriptor.h"
#include "link/transceiver.h"
#include "probe/json_line.h"
#include "probe/text.h"

// The report descriptors of data/descriptors, built in by
// qz_embed_descriptors: the program needs no data files.
#include "emulated_descriptors.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>

namespace qz::probe {

namespace {

// The latest time a replayed step may be due, in milliseconds after the start.
constexpr double kLatestReplayMs = 1e11;

EmulatedModel MakeModel(std::uint16_t productId, std::span<const std::uint8_t> descriptor)
{
    EmulatedModel model;
    model.productId = productId;
    model.descriptor = descriptor;
    // The lengths come from the very bytes the kernel gets; the descriptors
    // are known to be sound (the tests parse them too).
    const auto info = ParseReportDescriptor(descriptor);
    if (info) {
        model.lengths = {info->inputReportLength, info->outputReportLength};
    }
    return model;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

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

std::optional<ByteArray> FromHex(std::string_view hex)
{
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    ByteArray bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        std::uint8_t byte = 0;
        const auto [end, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
        if (error != std::errc() || end != hex.data() + i + 2) {
            return std::nullopt;
        }
        bytes.push_back(byte);
    }
    return bytes;
}

// What a replayed report is, as watch would show it.
std::string Decoded(const ByteArray& data)
{
    ByteArray buffer(data.size() + 2, 0); // report ID 0, the data, the spare byte
    std::copy(data.begin(), data.end(), buffer.begin() + 1);
    TransceiverData TRData;
    TRData.Parse(buffer);
    return TRData.Remote() == -1 ? std::string("not a press")
                                 : "pad " + std::to_string(TRData.Remote()) + " " + TRData.Button();
}

std::string LedCommandWord(LedCommand command)
{
    switch (command) {
    case LedCommand::Off:
        return "off";
    case LedCommand::On:
        return "on";
    case LedCommand::OnShort:
        return "short";
    case LedCommand::Flash:
        return "flash";
    }
    return {};
}

} // namespace

bool EmulatedModel::CmdModel() const
{
    return productId == Transceiver::kCmdModelProductId;
}

const EmulatedModel* FindEmulatedModel(std::uint16_t productId)
{
    static const EmulatedModel cmdModel = MakeModel(Transceiver::kCmdModelProductId, embedded::kTransceiver1001);
    static const EmulatedModel frameModel = MakeModel(Transceiver::kFrameModelProductId, embedded::kTransceiver1003);
    if (productId == cmdModel.productId) {
        return &cmdModel;
    }
    if (productId == frameModel.productId) {
        return &frameModel;
    }
    return nullptr;
}

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

std::optional<std::uint16_t> RecordedModel(std::string_view text)
{
    std::optional<std::uint16_t> model;
    ForEachLine(text, [&model](std::size_t, std::string_view line) {
        const Json object = Json::parse(line, nullptr, false);
        if (!object.is_object() || !object.contains("event") || object["event"] != "connected"
            || !object.contains("model") || !object["model"].is_string()) {
            return true;
        }
        // "0x1003", as watch writes it.
        const std::string name = object["model"].get<std::string>();
        std::uint16_t value = 0;
        if (name.size() > 2 && name.rfind("0x", 0) == 0) {
            const auto [end, error] = std::from_chars(name.data() + 2, name.data() + name.size(), value, 16);
            if (error == std::errc() && end == name.data() + name.size()) {
                model = value;
            }
        }
        return false;
    });
    return model;
}

ParsedFile ParseReplay(std::string_view text, const EmulatedModel& model, double speed)
{
    ParsedFile file;
    bool plugged = true;
    double lastMs = 0;
    const auto fail = [&file](std::size_t number, std::string reason) {
        file.problem = FileProblem {number, std::move(reason)};
        return false;
    };
    ForEachLine(text, [&](std::size_t number, std::string_view line) {
        if (std::all_of(line.begin(), line.end(), IsBlank)) {
            return true;
        }
        const Json object = Json::parse(line, nullptr, false);
        if (!object.is_object()) {
            return fail(number, "not a JSON object, as qz470-probe watch --json writes one a line");
        }
        const bool isEvent = object.contains("event");
        std::string event;
        if (isEvent) {
            if (!object["event"].is_string()) {
                return fail(number, "its \"event\" is not a text");
            }
            event = object["event"].get<std::string>();
            if (event != "connected" && event != "unplugged") {
                return true; // nothing to replay
            }
        }
        if (!object.contains("time_ms") || !object["time_ms"].is_number()) {
            return fail(number, "it has no \"time_ms\" number");
        }
        const double timeMs = object["time_ms"].get<double>();
        if (!(timeMs >= 0)) {
            return fail(number, "its \"time_ms\" is below 0");
        }
        if (timeMs < lastMs) {
            return fail(number, "its \"time_ms\" lies before that of the line above");
        }
        lastMs = timeMs;
        const double replayMs = timeMs / speed;
        if (!(replayMs <= kLatestReplayMs)) {
            return fail(number, "its \"time_ms\" lies too far ahead to be replayed");
        }
        EmulateStep step;
        step.line = number;
        step.at = std::chrono::microseconds(std::llround(replayMs * 1000.0));

        if (isEvent) {
            if ((event == "unplugged") == plugged) {
                step.kind = plugged ? EmulateStep::Kind::Unplug : EmulateStep::Kind::Replug;
                plugged = !plugged;
                file.steps.push_back(step);
            }
            return true;
        }
        if (!object.contains("raw") || !object["raw"].is_string()) {
            return fail(number, "it has neither \"event\" nor a \"raw\" report in hex");
        }
        const std::string raw = object["raw"].get<std::string>();
        const auto report = FromHex(raw);
        if (!report || report->empty()) {
            return fail(number, "its \"raw\" is not a report in hex");
        }
        if ((*report)[0] != 0) {
            return fail(number, "its \"raw\" does not begin with report ID 0, which the transceivers send");
        }
        const std::size_t dataSize = report->size() - 1;
        if (dataSize != model.InputDataSize()) {
            return fail(number,
                "its report has " + std::to_string(dataSize) + " bytes after the report ID, and the "
                    + ModelName(model.productId) + " model's input reports have "
                    + std::to_string(model.InputDataSize()));
        }
        if (!plugged) {
            EmulateStep replug = step;
            replug.kind = EmulateStep::Kind::Replug;
            file.steps.push_back(replug);
            plugged = true;
        }
        step.kind = EmulateStep::Kind::Send;
        step.data.assign(report->begin() + 1, report->end());
        step.what = Decoded(step.data);
        file.steps.push_back(std::move(step));
        return true;
    });
    if (file.problem) {
        file.steps.clear();
    }
    return file;
}

std::string FileProblemLine(const std::string& file, const FileProblem& problem)
{
    const std::string where = problem.line == 0 ? file : file + ":" + std::to_string(problem.line);
    return Message(where + ": " + problem.reason + "; nothing was sent.");
}

std::string OutputReportLine(std::span<const std::uint8_t> report, bool cmdModel)
{
    if (report.empty()) {
        return "(no bytes)";
    }
    if (report[0] != 0) {
        return HexSpaced(report); // no report ID 0 to leave out: no LED report either
    }
    const std::string hex = HexSpaced(report.subspan(1));
    const std::vector<LedReading> readings = ReadLedReport(report, cmdModel);
    if (readings.empty()) {
        return hex.empty() ? "(report ID 0 only)" : hex;
    }
    std::string line = hex + "  ";
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const LedReading& reading = readings[i];
        if (i > 0) {
            line += " or ";
        }
        if (i == 0 || readings[i - 1].command != reading.command) {
            line += "LED " + LedCommandWord(reading.command) + " ";
        }
        line += reading.Remote == 0 ? std::string("no particular pad") : "pad " + std::to_string(reading.Remote);
    }
    return line;
}

} // namespace qz::probe
