#include "link/led_report.h"

#include "common/error.h"

#include <algorithm>
#include <string>

namespace qz {

namespace {

// cmd report (0x1001 model), by index.
constexpr std::size_t kCmdReportIdIndex = 0; // report ID, 0
constexpr std::size_t kCmdLetterCIndex = 1; // 'c'
constexpr std::size_t kCmdLetterMIndex = 2; // 'm'
constexpr std::size_t kCmdLetterDIndex = 3; // 'd'
constexpr std::size_t kCmdCodeIndex = 4; // command code: action and pad
constexpr std::size_t kCmdTrailIndex = 5; // 0

// LED frame (0x1003 model), by index.
constexpr std::size_t kFrameReportIdIndex = 0; // report ID, 0
constexpr std::size_t kFrameStartIndex = 1; // start byte 0xFA
constexpr std::size_t kFrameLengthIndex = 2; // length byte 8: the checksum is at index 7
constexpr std::size_t kFrameFixedIndex = 3; // 1
constexpr std::size_t kFramePadIndex = 4; // pad byte
constexpr std::size_t kFrameReservedIndex = 5; // 0
constexpr std::size_t kFrameModeIndex = 6; // LED mode
constexpr std::size_t kFrameChecksumIndex = 7; // XOR of indices 1 to 6
constexpr std::size_t kFrameEndIndex = 8; // end byte 0xAF
constexpr int kFrameStartByte = 0xFA;
constexpr int kFrameLengthByte = 8;
constexpr int kFrameEndByte = 0xAF;
static_assert(kFrameEndIndex + 1 == kLedFrameSize && kCmdTrailIndex + 1 == kCmdReportSize);
// Pad byte for "no particular pad" (pad 0 or below).
constexpr int kFrameAllPadsByte = 80;

// Command codes of the cmd report: pads 1-20 follow the base, pads 21 on skip
// six codes; pads of 0 or less get the command's own code (0 for LEDOnShort).
struct CmdCodes {
    int noPad;
    int base;
};

CmdCodes CodesOf(LedCommand command)
{
    switch (command) {
    case LedCommand::On:
        return {201, 40};
    case LedCommand::Flash:
        return {202, 80};
    case LedCommand::Off:
        return {203, 120};
    case LedCommand::OnShort:
        break;
    }
    return {0, 0};
}

int ModeOf(LedCommand command)
{
    switch (command) {
    case LedCommand::Off:
        return 0;
    case LedCommand::On:
        return 1;
    case LedCommand::OnShort:
        return 2;
    case LedCommand::Flash:
        return 3;
    }
    return 0;
}

} // namespace

int LedPadField(LedCommand command, std::int16_t Remote, LedFormat format)
{
    const int pad = Remote;
    if (format == LedFormat::CmdReport) {
        const CmdCodes codes = CodesOf(command);
        return pad >= 1 ? codes.base + pad + (pad >= 21 ? 6 : 0) : codes.noPad;
    }
    // A pad number that is a multiple of ten travels as the number minus ten.
    return pad > 0 ? (pad % 10 == 0 ? pad - 10 : pad) : kFrameAllPadsByte;
}

std::size_t WriteLedReport(LedCommand command, std::int16_t Remote, LedFormat format, ByteArray& buffer)
{
    // Index by index: an oversized value fails at its own index, a short
    // buffer at the first index past its end.
    const bool cmdReport = format == LedFormat::CmdReport;
    const auto put = [&buffer, cmdReport, Remote](std::size_t index, int value) {
        if (value < 0 || value > 255) {
            throw Error::Overflow(std::string(cmdReport ? "LED command code " : "LED frame byte ")
                + std::to_string(index) + " would be " + std::to_string(value) + " for pad " + std::to_string(Remote));
        }
        if (index >= buffer.size()) {
            throw Error::OutOfRange("LED report index " + std::to_string(index) + " in a buffer of "
                + std::to_string(buffer.size()) + " bytes");
        }
        buffer[index] = static_cast<std::uint8_t>(value);
    };

    if (cmdReport) {
        if (command == LedCommand::OnShort && Remote < 0) {
            return 0; // nothing is sent for a negative pad
        }
        put(kCmdReportIdIndex, 0);
        put(kCmdLetterCIndex, 'c');
        put(kCmdLetterMIndex, 'm');
        put(kCmdLetterDIndex, 'd');
        put(kCmdCodeIndex, LedPadField(command, Remote, format));
        put(kCmdTrailIndex, 0);
        return kCmdReportSize;
    }

    put(kFrameReportIdIndex, 0);
    put(kFrameStartIndex, kFrameStartByte);
    put(kFrameLengthIndex, kFrameLengthByte);
    put(kFrameFixedIndex, 1);
    put(kFramePadIndex, LedPadField(command, Remote, format));
    put(kFrameReservedIndex, 0);
    put(kFrameModeIndex, ModeOf(command));
    // Computed once index 6 is written: the XOR of indices 1 to 6.
    put(kFrameChecksumIndex, XorChecksum(static_cast<std::int16_t>(kFrameChecksumIndex - 1), buffer));
    put(kFrameEndIndex, kFrameEndByte);
    return kLedFrameSize;
}

ByteArray FitToOutputLength(std::span<const std::uint8_t> report, std::uint16_t outputReportLength)
{
    ByteArray out(outputReportLength, 0);
    std::copy_n(report.begin(), std::min(report.size(), out.size()), out.begin());
    return out;
}

std::vector<LedReading> ReadLedReport(std::span<const std::uint8_t> report, LedFormat format)
{
    // The inverse by construction: build every report the tester can write
    // and keep those that match. Every pad that fits lies below 300 (a byte
    // holds at most 255, and a multiple of ten travels as the pad minus ten);
    // pad 0 stands for all pads of 0 or less, which are written alike.
    constexpr int kPastLastPad = 300;
    const std::size_t size = format == LedFormat::CmdReport ? kCmdReportSize : kLedFrameSize;
    std::vector<LedReading> readings;
    if (report.size() < size
        || std::any_of(report.begin() + static_cast<std::ptrdiff_t>(size), report.end(),
            [](std::uint8_t byte) { return byte != 0; })) {
        return readings;
    }
    ByteArray built(size, 0);
    for (int pad = 0; pad < kPastLastPad; ++pad) {
        for (const LedCommand command : {LedCommand::Off, LedCommand::On, LedCommand::OnShort, LedCommand::Flash}) {
            const int field = LedPadField(command, static_cast<std::int16_t>(pad), format);
            if (field < 0 || field > 255) {
                continue;
            }
            WriteLedReport(command, static_cast<std::int16_t>(pad), format, built);
            if (std::equal(built.begin(), built.end(), report.begin())) {
                readings.push_back({command, static_cast<std::int16_t>(pad)});
            }
        }
    }
    return readings;
}

} // namespace qz
