#pragma once

#include "decode/transceiver_data.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qz {

// The four LED commands of a pad: LEDOff, LEDOn, LEDOnShort, LEDFlash.
enum class LedCommand { Off, On, OnShort, Flash };

// The two forms of LED report: the cmd report of the 0x1001 model, the LED
// frame of the 0x1003 model (Transceiver::LedFormatOf gives a model's).
enum class LedFormat { CmdReport, LedFrame };

// Sizes of the two LED report forms, report ID byte included.
constexpr std::size_t kCmdReportSize = 6; // 0x1001 model: 0, "cmd", command code, 0
constexpr std::size_t kLedFrameSize = 9; // 0x1003 model: the LED frame

// The value of the byte that carries the pad in the LED report: the command
// code of a cmd report, or the pad byte of an LED frame. A value
// outside 0 to 255 cannot be sent: WriteLedReport fails with Error::Overflow.
// Pads of 0 or less mean "no particular pad".
int LedPadField(LedCommand command, std::int16_t Remote, LedFormat format);

// Writes the LED report of `command` for pad `Remote` into `buffer` from index
// 0, index by index, and returns its size: kCmdReportSize or kLedFrameSize, or
// 0 when the command sends nothing (LEDOnShort for a pad below 0 on the 0x1001
// model). Throws Error::Overflow when a byte would not fit (see LedPadField),
// and Error::OutOfRange at the first index past the buffer's end; the indices
// before the failure stay written. The tester builds the cmd report in an
// array of its own and the LED frame in its report buffer (input report
// length + 1 bytes), so a frame fails on a transceiver with input reports
// shorter than 8 bytes.
std::size_t WriteLedReport(LedCommand command, std::int16_t Remote, LedFormat format, ByteArray& buffer);

// The bytes to write for a report: exactly the output report length, cut from
// a longer array or padded with zeros past a shorter one, never what lies
// beyond it.
ByteArray FitToOutputLength(std::span<const std::uint8_t> report, std::uint16_t outputReportLength);

// One reading of an LED report: a command and a pad for which the tester
// writes exactly those bytes. Pad 0 stands for every pad of 0 or less, "no
// particular pad".
struct LedReading {
    LedCommand command = LedCommand::Off;
    std::int16_t pad = 0;
    friend bool operator==(const LedReading&, const LedReading&) = default;
};

// Every reading of an output report as the transceiver receives it (report
// ID 0 first): each command and pad whose LED report (WriteLedReport) it is,
// followed by nothing but the zeros that fill it to the output report length.
// Ordered by pad, "no particular pad" first. More than one where the encoding
// overlaps: the cmd report's codes past pad 20 (code 81 is LEDFlash 1, LEDOn
// 35 and LEDOnShort 75), the frame's pad byte 80 (no particular pad, or pad
// 90). Empty when the bytes are no LED report of the model.
std::vector<LedReading> ReadLedReport(std::span<const std::uint8_t> report, LedFormat format);

} // namespace qz
