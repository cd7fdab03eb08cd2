#pragma once

#include "decode/transceiver_data.h"
#include "link/hid_layer.h"
#include "link/led_report.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz::probe {

// The LED command a `led` action names: on, off, flash or short.
std::optional<LedCommand> ParseLedAction(std::string_view action);

// The command's name as the tester knows it: LEDOn, LEDOff, LEDFlash, LEDOnShort.
std::string LedCommandName(LedCommand command);

// The command's word as `led` takes it: on, off, flash, short.
std::string LedActionWord(LedCommand command);

// PAD: "all" (pad 0, "no particular pad") or a whole number from -32768 to
// 32767 in decimal; nullopt for anything else.
std::optional<std::int16_t> ParsePad(std::string_view text);

// The pads a model can carry for a command, as text: "1 to 255 or 260".
std::string PadsThatFit(LedCommand command, LedFormat format);

// What the tester would write for an LED command, or why nothing can be.
struct LedBytes {
    bool ok = false;
    ByteArray bytes; // exactly the output report length
    std::string error; // one message line that says what to do, when not ok
};

// Builds the LED report by the tester's own rules (WriteLedReport): the cmd
// report in an array of its own, the LED frame in a report buffer of the
// input report length + 1, then cut or padded to the output report length.
LedBytes BuildLedBytes(LedCommand command, std::int16_t pad, LedFormat format, const std::string& node,
    bool lengthsKnown, HidLayer::ReportLengths lengths);

} // namespace qz::probe
