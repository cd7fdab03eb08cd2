#pragma once

// The input reports a transceiver sends for a press: the inverse of
// TransceiverData::Parse, for a device that sends them (a virtual transceiver)
// rather than a host that reads them. Each report is given as its data bytes,
// as on the wire: the transceivers number no reports, so there is no report
// ID byte.

#include "decode/transceiver_data.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qz {

// What a press report can name: the four buttons and BUZZ of the pad code
// table, and the two texts only a frame carries.
enum class PressButton : std::uint8_t { A, B, C, D, Buzz, Powered, Error };

// The button's text as Parse gives it: "A", ..., "BUZZ", "POWERED", "ERROR".
std::string_view PressButtonText(PressButton button);

// Data bytes of the two report forms.
inline constexpr std::size_t kCodeReportDataSize = 2; // key code, high byte first
inline constexpr std::size_t kFrameReportDataSize = 8; // FA 07 00 P K X 00 00

// The code report (0x1001 model): the key code of the pad code table, high
// byte first. nullopt for what the table lacks: a pad outside 1 to 80, BUZZ
// above pad 30, POWERED and ERROR.
std::optional<ByteArray> CodeReportData(int pad, PressButton button);

// The pad byte of a frame: the pad, or the pad minus ten for a multiple of
// ten. nullopt for a pad no byte carries: below 1, a multiple of ten above
// 260, anything else above 255.
std::optional<std::uint8_t> FramePadByte(int pad);

// The frame (0x1003 model): FA 07 00 P K X 00 00, with P the pad byte, K the
// key byte (4, 3, 2, 1, 5 for A to D and BUZZ, 0 for POWERED, 6 for ERROR)
// and X the XOR of the five bytes before it. nullopt when FramePadByte is.
std::optional<ByteArray> FrameReportData(int pad, PressButton button);

} // namespace qz
