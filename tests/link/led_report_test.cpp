// The LED report encoding on its own: what both programs rely on beyond the
// bytes that the Transceiver's LED tables check, namely the size it returns
// and how the length of the buffer it is given decides its errors.
#include "common/error.h"
#include "link/led_report.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

int ErrorNumberOf(LedCommand command, std::int16_t pad, bool cmdModel, ByteArray& buffer)
{
    try {
        WriteLedReport(command, pad, cmdModel, buffer);
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
    EXPECT_EQ(WriteLedReport(LedCommand::OnShort, 7, false, nine), kLedFrameSize);
    EXPECT_EQ(nine, (ByteArray {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF6, 0xAF}));
    ByteArray ten(10, 0xEE);
    WriteLedReport(LedCommand::On, 20, false, ten);
    EXPECT_EQ(ten, (ByteArray {0x00, 0xFA, 0x08, 0x01, 0x0A, 0x00, 0x01, 0xF8, 0xAF, 0xEE}));

    // Too short: out of range at the first index past the end, with what
    // came before written; an oversized pad byte fails first at its own index.
    ByteArray four(4, 0xEE);
    EXPECT_EQ(ErrorNumberOf(LedCommand::On, 5, false, four), 9);
    EXPECT_EQ(four, (ByteArray {0x00, 0xFA, 0x08, 0x01}));
    ByteArray eight(8, 0xEE);
    EXPECT_EQ(ErrorNumberOf(LedCommand::On, 5, false, eight), 9);
    ByteArray five(5, 0xEE);
    EXPECT_EQ(ErrorNumberOf(LedCommand::On, 300, false, five), 6);
    EXPECT_EQ(five[4], 0xEE);
    EXPECT_EQ(LedPadField(LedCommand::On, 300, false), 290);

    // The cmd report: six bytes, nothing at all for LEDOnShort below pad 0.
    ByteArray six(6, 0xEE);
    EXPECT_EQ(WriteLedReport(LedCommand::OnShort, 7, true, six), kCmdReportSize);
    EXPECT_EQ(six, (ByteArray {0x00, 0x63, 0x6D, 0x64, 0x07, 0x00}));
    ByteArray untouched(6, 0xEE);
    EXPECT_EQ(WriteLedReport(LedCommand::OnShort, -1, true, untouched), 0u);
    EXPECT_EQ(untouched, ByteArray(6, 0xEE));
    EXPECT_EQ(ErrorNumberOf(LedCommand::Off, 130, true, six), 6);
    EXPECT_EQ(LedPadField(LedCommand::Off, 130, true), 256);

    // Written as exactly the output report length.
    EXPECT_EQ(FitToOutputLength(nine, 4), (ByteArray {0x00, 0xFA, 0x08, 0x01}));
    EXPECT_EQ(FitToOutputLength(six, 8), (ByteArray {0x00, 0x63, 0x6D, 0x64, 0x07, 0x00, 0x00, 0x00}));
}

} // namespace
} // namespace qz
