#include "probe/core/led_request.h"

#include "common/error.h"
#include "link/transceiver.h"
#include "probe/core/hex.h"
#include "probe/core/message.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

namespace qz::probe {

namespace {

// Each LED command as `led` takes it and as the tester names it: the one
// table for both ways.
struct LedCommandWords {
    LedCommand command;
    std::string_view action;
    std::string_view name;
};

constexpr std::array<LedCommandWords, 4> kLedCommandWords {{
    {LedCommand::On, "on", "LEDOn"},
    {LedCommand::Off, "off", "LEDOff"},
    {LedCommand::Flash, "flash", "LEDFlash"},
    {LedCommand::OnShort, "short", "LEDOnShort"},
}};

const LedCommandWords& WordsOf(LedCommand command)
{
    return *std::find_if(kLedCommandWords.begin(), kLedCommandWords.end(),
        [command](const LedCommandWords& words) { return words.command == command; });
}

std::string PadText(std::int16_t pad)
{
    return pad == 0 ? std::string("all (pad 0)") : "pad " + std::to_string(pad);
}

bool Fits(LedCommand command, int pad, LedFormat format)
{
    const int field = LedPadField(command, static_cast<std::int16_t>(pad), format);
    return field >= 0 && field <= 255;
}

} // namespace

std::optional<LedCommand> ParseLedAction(std::string_view action)
{
    for (const LedCommandWords& words : kLedCommandWords) {
        if (action == words.action) {
            return words.command;
        }
    }
    return std::nullopt;
}

std::string LedCommandName(LedCommand command)
{
    return std::string(WordsOf(command).name);
}

std::string LedActionWord(LedCommand command)
{
    return std::string(WordsOf(command).action);
}

std::optional<std::int16_t> ParsePad(std::string_view text)
{
    if (text == "all") {
        return 0;
    }
    // from_chars takes no '+' and no blanks: a plain decimal number only.
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()
        || value < std::numeric_limits<std::int16_t>::min() || value > std::numeric_limits<std::int16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(value);
}

std::string PadsThatFit(LedCommand command, LedFormat format)
{
    // Every pad that fits lies below 300: a byte holds at most 255, and the
    // pad byte of a multiple of ten is the pad minus ten.
    std::string text;
    int pad = 1;
    while (pad < 300) {
        if (!Fits(command, pad, format)) {
            ++pad;
            continue;
        }
        int last = pad;
        while (last + 1 < 300 && Fits(command, last + 1, format)) {
            ++last;
        }
        if (!text.empty()) {
            text += " or ";
        }
        text += last == pad ? std::to_string(pad) : std::to_string(pad) + " to " + std::to_string(last);
        pad = last + 1;
    }
    return text;
}

LedBytes BuildLedBytes(LedCommand command, std::int16_t pad, LedFormat format, const std::string& node,
    bool lengthsKnown, HidLayer::ReportLengths lengths)
{
    const bool cmdReport = format == LedFormat::CmdReport;
    const std::string model
        = ModelName(cmdReport ? Transceiver::kCmdModelProductId : Transceiver::kFrameModelProductId);
    LedBytes result;
    if (!lengthsKnown) {
        result.error = Message("the report lengths of the transceiver at " + node
            + " are unknown (its report descriptor cannot be read), so nothing was sent. Replug it and try again.");
        return result;
    }
    if (lengths.output == 0) {
        result.error = Message(
            "the transceiver at " + node + " has no output report, so it cannot take LED commands; nothing was sent.");
        return result;
    }
    ByteArray buffer(cmdReport ? kCmdReportSize : static_cast<std::size_t>(lengths.input) + 1, 0);
    try {
        if (WriteLedReport(command, pad, format, buffer) == 0) {
            result.error = Message("the " + model + " model has no " + LedCommandName(command) + " for " + PadText(pad)
                + " (the tester sends nothing for it), so nothing was sent. Choose all or a pad from "
                + PadsThatFit(command, format) + ".");
            return result;
        }
    } catch (const Error& error) {
        if (error.Number() == static_cast<int>(ErrorNumber::Overflow)) {
            result.error = Message(PadText(pad) + " does not fit the " + LedCommandName(command) + " report of the "
                + model + " model: its " + (cmdReport ? "command code" : "pad byte") + " would be "
                + std::to_string(LedPadField(command, pad, format))
                + ", and a byte holds 0 to 255; nothing was sent. Choose all or a pad from "
                + PadsThatFit(command, format) + ".");
        } else {
            result.error = Message("the transceiver at " + node + " has input reports of "
                + std::to_string(lengths.input)
                + " bytes, too short for the LED frame that the tester builds in its report buffer; nothing was sent.");
        }
        return result;
    }
    result.bytes = FitToOutputLength(buffer, lengths.output);
    result.ok = true;
    return result;
}

} // namespace qz::probe
