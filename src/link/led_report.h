#pragma once

#include "decode/transceiver_data.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace qz {

// The four LED commands of a pad: LEDOff, LEDOn, LEDOnShort, LEDFlash.
enum class LedCommand { Off, On, OnShort, Flash };

// Sizes of the two LED report forms, report ID byte included.
constexpr std::size_t kCmdReportSize = 6; // 0x1001 model: 0, "cmd", command code, 0
constexpr std::size_t kLedFrameSize = 9; // 0x1003 model: the LED frame

// The value of the byte that carries the pad in the LED report: the command
// code of a cmd report (cmdModel), or the pad byte of an LED frame. A value
// outside 0 to 255 cannot be sent: WriteLedReport fails with Error::Overflow.
// Pads of 0 or less mean "no particular pad".
int LedPadField(LedCommand command, std::int16_t Remote, bool cmdModel);

// Writes the LED report of `command` for pad `Remote` into `buffer` from index
// 0, index by index, and returns its size: kCmdReportSize or kLedFrameSize, or
// 0 when the command sends nothing (LEDOnShort for a pad below 0 on the 0x1001
// model). Throws Error::Overflow when a byte would not fit (see LedPadField),
// and Error::OutOfRange at the first index past the buffer's end; the indices
// before the failure stay written. The tester builds the cmd report in an
// array of its own and the LED frame in its report buffer (input report
// length + 1 bytes), so a frame fails on a transceiver with input reports
// shorter than 8 bytes.
std::size_t WriteLedReport(LedCommand command, std::int16_t Remote, bool cmdModel, ByteArray& buffer);

// The bytes to write for a report: exactly the output report length, cut from
// a longer array or padded with zeros past a shorter one, never what lies
// beyond it.
ByteArray FitToOutputLength(std::span<const std::uint8_t> report, std::uint16_t outputReportLength);

} // namespace qz
