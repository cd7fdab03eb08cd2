// The LED report encoding on its own: what both programs rely on beyond the
// bytes that the Transceiver's LED tables check, namely the size it returns
// and how the length of the buffer it is given decides its errors.
#include "common/error.h"
#include "link/led_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace qz {
namespace {

int ErrorNumberOf(LedCommand command, std::int16_t pad, LedFormat format, ByteArray& buffer)
{
    try {
        WriteLedReport(command, pad, format, buffer);
    } catch (const Error& e) {
        return e.Number();
    }
    return 0;
}

TEST(LedReport, SizeReturnedAndErrorsByBufferLength)
{
    // A frame needs nine bytes exactly; the tester's report buffer of a
    // 0x1003 model has ten, and the tenth is left alone.
    ByteArray nine(9, 0xEE);
    EXPECT_EQ(WriteLedReport(LedCommand::OnShort, 7, LedFormat::LedFrame, nine), kLedFrameSize);
    EXPECT_EQ(nine, (ByteArray {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF6, 0xAF}));
    ByteArray ten(10, 0xEE);
    WriteLedReport(LedCommand::On, 20, LedFormat::LedFrame, ten);
    EXPECT_EQ(ten, (ByteArray {0x00, 0xFA, 0x08, 0x01, 0x0A, 0x00, 0x01, 0xF8, 0xAF, 0xEE}));

    // Too short: out of range at the first index past the end, with what
    // came before written; an oversized pad byte fails first at its own index.
    ByteArray four(4, 0xEE);
    EXPECT_EQ(ErrorNumberOf(LedCommand::On, 5, LedFormat::LedFrame, four), 9);
    EXPECT_EQ(four, (ByteArray {0x00, 0xFA, 0x08, 0x01}));
    ByteArray eight(8, 0xEE);
    EXPECT_EQ(ErrorNumberOf(LedCommand::On, 5, LedFormat::LedFrame, eight), 9);
    ByteArray five(5, 0xEE);
    EXPECT_EQ(ErrorNumberOf(LedCommand::On, 300, LedFormat::LedFrame, five), 6);
    EXPECT_EQ(five[4], 0xEE);
    EXPECT_EQ(LedPadField(LedCommand::On, 300, LedFormat::LedFrame), 290);

    // The cmd report: six bytes, nothing at all for LEDOnShort below pad 0.
    ByteArray six(6, 0xEE);
    EXPECT_EQ(WriteLedReport(LedCommand::OnShort, 7, LedFormat::CmdReport, six), kCmdReportSize);
    EXPECT_EQ(six, (ByteArray {0x00, 0x63, 0x6D, 0x64, 0x07, 0x00}));
    ByteArray untouched(6, 0xEE);
    EXPECT_EQ(WriteLedReport(LedCommand::OnShort, -1, LedFormat::CmdReport, untouched), 0u);
    EXPECT_EQ(untouched, ByteArray(6, 0xEE));
    EXPECT_EQ(ErrorNumberOf(LedCommand::Off, 130, LedFormat::CmdReport, six), 6);
    EXPECT_EQ(LedPadField(LedCommand::Off, 130, LedFormat::CmdReport), 256);

    // Written as exactly the output report length.
    EXPECT_EQ(FitToOutputLength(nine, 4), (ByteArray {0x00, 0xFA, 0x08, 0x01}));
    EXPECT_EQ(FitToOutputLength(six, 8), (ByteArray {0x00, 0x63, 0x6D, 0x64, 0x07, 0x00, 0x00, 0x00}));
}

constexpr LedCommand kCommands[] = {LedCommand::Off, LedCommand::On, LedCommand::OnShort, LedCommand::Flash};

// Reading is the inverse of writing: every report the tester can write reads
// back as its command and pad (pads of 0 or less as "no particular pad"),
// and every reading given writes those very bytes.
TEST(LedReport, EveryReportWrittenReadsBackAndEveryReadingWritesIt)
{
    for (const LedFormat format : {LedFormat::CmdReport, LedFormat::LedFrame}) {
        const bool cmdModel = format == LedFormat::CmdReport;
        for (const LedCommand command : kCommands) {
            for (int pad = -3; pad < 300; ++pad) {
                SCOPED_TRACE(std::to_string(pad) + (cmdModel ? " cmd report" : " LED frame"));
                ByteArray report(cmdModel ? kCmdReportSize : kLedFrameSize, 0);
                if (ErrorNumberOf(command, static_cast<std::int16_t>(pad), format, report) != 0
                    || (cmdModel && command == LedCommand::OnShort && pad < 0)) {
                    continue; // nothing is written
                }
                const auto readings = ReadLedReport(report, format);
                const LedReading expected {command, static_cast<std::int16_t>(std::max(pad, 0))};
                ASSERT_NE(std::find(readings.begin(), readings.end(), expected), readings.end());
                for (const LedReading& reading : readings) {
                    ByteArray again(report.size(), 0);
                    WriteLedReport(reading.command, reading.pad, format, again);
                    EXPECT_EQ(again, report);
                }
            }
        }
    }
}

TEST(LedReport, OverlapsGiveEveryReadingAndForeignBytesNone)
{
    // Code 81: LEDFlash(1), LEDOn(35) and LEDOnShort(75), by rising pad.
    EXPECT_EQ(ReadLedReport(ByteArray {0x00, 0x63, 0x6D, 0x64, 81, 0x00}, LedFormat::CmdReport),
        (std::vector<LedReading> {{LedCommand::Flash, 1}, {LedCommand::On, 35}, {LedCommand::OnShort, 75}}));
    // Pad byte 80: no particular pad, or pad 90.
    EXPECT_EQ(ReadLedReport(ByteArray {0x00, 0xFA, 0x08, 0x01, 0x50, 0x00, 0x02, 0xA1, 0xAF}, LedFormat::LedFrame),
        (std::vector<LedReading> {{LedCommand::OnShort, 0}, {LedCommand::OnShort, 90}}));
    // Zeros that fill the report to the output length are part of it.
    EXPECT_EQ(ReadLedReport(ByteArray {0x00, 0x63, 0x6D, 0x64, 0x07, 0x00, 0x00, 0x00}, LedFormat::CmdReport),
        (std::vector<LedReading> {{LedCommand::OnShort, 7}}));

    const ByteArray foreign[] = {
        {0x00, 0x63, 0x6D, 0x64, 21, 0x00}, // a code no command sends
        {0x00, 0x63, 0x6D, 0x64, 0x07, 0x00, 0x01}, // more than zeros after it
        {0x00, 0x63, 0x6D, 0x64, 0x07}, // cut short
        {0x01, 0x63, 0x6D, 0x64, 0x07, 0x00}, // report ID 1
    };
    for (const ByteArray& report : foreign) {
        EXPECT_TRUE(ReadLedReport(report, LedFormat::CmdReport).empty());
    }
    ByteArray frame {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x04, 0x00, 0xAF}; // LED mode 4
    frame[7] = XorChecksum(6, frame);
    EXPECT_TRUE(ReadLedReport(frame, LedFormat::LedFrame).empty());
    EXPECT_TRUE(
        ReadLedReport(ByteArray {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF7, 0xAF}, LedFormat::LedFrame).empty());
    // A cmd report is no LED frame, and the other way round.
    EXPECT_TRUE(
        ReadLedReport(ByteArray {0x00, 0x63, 0x6D, 0x64, 0x07, 0x00, 0x00, 0x00, 0x00}, LedFormat::LedFrame).empty());
}

} // namespace
} // namespace qz
