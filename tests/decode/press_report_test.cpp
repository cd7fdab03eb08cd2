// Press reports as a transceiver sends them: every one that is built decodes
// back to its own pad and button, and exactly what a model's report cannot
// carry is refused.
#include "decode/pad_code_table.h"
#include "decode/press_report.h"
#include "decode/transceiver_data.h"

#include <gtest/gtest.h>

#include <string>

namespace qz {
namespace {

constexpr PressButton kButtons[] = {PressButton::A, PressButton::B, PressButton::C, PressButton::D, PressButton::Buzz,
    PressButton::Powered, PressButton::Error};

// The report as it lies in the tester's buffer: report ID 0, the data bytes,
// the spare byte.
TransceiverData Decode(const ByteArray& data)
{
    ByteArray buffer(data.size() + 2, 0);
    std::copy(data.begin(), data.end(), buffer.begin() + 1);
    TransceiverData record;
    record.Parse(buffer);
    return record;
}

TEST(PressReport, EveryReportBuiltDecodesToItsPressAndOnlyCarriablePressesAreBuilt)
{
    for (int pad = -2; pad <= 300; ++pad) {
        for (const PressButton button : kButtons) {
            SCOPED_TRACE("pad " + std::to_string(pad) + " " + std::string(PressButtonText(button)));
            const bool tableButton = button != PressButton::Powered && button != PressButton::Error;
            const bool inTable = tableButton && pad >= 1 && pad <= 80 && (button != PressButton::Buzz || pad <= 30);
            const auto code = CodeReportData(pad, button);
            ASSERT_EQ(code.has_value(), inTable);
            if (code) {
                ASSERT_EQ(code->size(), kCodeReportDataSize);
                const TransceiverData record = Decode(*code);
                EXPECT_EQ(record.Remote(), pad);
                EXPECT_EQ(record.Button(), PressButtonText(button));
            }

            const bool fitsPadByte = pad >= 1 && (pad % 10 == 0 ? pad <= 260 : pad <= 255);
            const auto frame = FrameReportData(pad, button);
            ASSERT_EQ(frame.has_value(), fitsPadByte);
            if (frame) {
                ASSERT_EQ(frame->size(), kFrameReportDataSize);
                const TransceiverData record = Decode(*frame);
                EXPECT_EQ(record.Remote(), pad);
                EXPECT_EQ(record.Button(), PressButtonText(button));
            }
        }
    }
}

TEST(PressReport, TheBytesOfBothForms)
{
    // FA 07 00 P K X 00 00: X is the XOR of the five bytes before it.
    EXPECT_EQ(FrameReportData(5, PressButton::A), (ByteArray {0xFA, 0x07, 0x00, 0x05, 0x04, 0xFC, 0x00, 0x00}));
    EXPECT_EQ(FrameReportData(10, PressButton::Powered), (ByteArray {0xFA, 0x07, 0x00, 0x00, 0x00, 0xFD, 0x00, 0x00}));
    EXPECT_EQ(FrameReportData(260, PressButton::Error), (ByteArray {0xFA, 0x07, 0x00, 0xFA, 0x06, 0x01, 0x00, 0x00}));
    EXPECT_EQ(FrameReportData(23, PressButton::C), (ByteArray {0xFA, 0x07, 0x00, 0x17, 0x02, 0xE8, 0x00, 0x00}));
    EXPECT_EQ(FramePadByte(90), 80);
    // The key code of the pad code table, high byte first.
    EXPECT_EQ(CodeReportData(39, PressButton::A), (ByteArray {0x01, 0x00}));
    EXPECT_EQ(CodeReportData(30, PressButton::Buzz), (ByteArray {0x00, 0x24}));
    EXPECT_EQ(CodeReportData(80, PressButton::D), (ByteArray {0x00, 0x25}));
}

} // namespace
} // namespace qz
