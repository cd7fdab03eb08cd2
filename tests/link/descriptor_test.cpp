// Report lengths from report descriptors, as the HID capabilities give them.
#include "descriptor_files.h"
#include "link/report_descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qz {
namespace {

TEST(ReportDescriptor, SamplesGiveTheirExpectedLengths)
{
    int count = 0;
    for (const std::filesystem::path& dir : testdata::DescriptorDirs()) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const testdata::DescriptorFile file = testdata::LoadDescriptor(entry.path());
            SCOPED_TRACE(file.name);
            ++count;
            const auto info = ParseReportDescriptor(file.bytes);
            ASSERT_EQ(info.has_value(), file.valid);
            if (info) {
                EXPECT_EQ(info->inputReportLength, file.input);
                EXPECT_EQ(info->outputReportLength, file.output);
                EXPECT_EQ(info->usesReportIds, file.ids);
            }
        }
    }
    EXPECT_GE(count, 9);
}

TEST(ReportDescriptor, EveryTruncationOfAGoodDescriptorIsRefusedOrShorter)
{
    const auto file = testdata::LoadNamedDescriptor("keyboard_consumer");
    for (std::size_t n = 0; n < file.bytes.size(); ++n) {
        const std::vector<std::uint8_t> cut(file.bytes.begin(), file.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        const auto info = ParseReportDescriptor(cut); // must never read past the end
        if (info) {
            EXPECT_LE(info->inputReportLength, file.input);
        }
    }
}

TEST(ReportDescriptor, BitsRoundUpPerReportAndEmptyKindsAreZero)
{
    // 9 bits in: two bytes plus the ID byte; nothing out.
    const std::vector<std::uint8_t> nineBits {0x75, 0x01, 0x95, 0x09, 0x81, 0x02};
    const auto info = ParseReportDescriptor(nineBits);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->inputReportLength, 3);
    EXPECT_EQ(info->outputReportLength, 0);
    EXPECT_FALSE(info->usesReportIds);

    const auto empty = ParseReportDescriptor({});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->inputReportLength, 0);

    // Four-byte item data: Report Count 0x00010000 x 8 bits does not fit 16 bits.
    const std::vector<std::uint8_t> huge {0x75, 0x08, 0x97, 0x00, 0x00, 0x01, 0x00, 0x81, 0x02};
    EXPECT_FALSE(ParseReportDescriptor(huge));
    // The largest that fits: 65534 data bytes.
    const std::vector<std::uint8_t> largest {0x75, 0x08, 0x96, 0xFE, 0xFF, 0x81, 0x02};
    ASSERT_TRUE(ParseReportDescriptor(largest));
    EXPECT_EQ(ParseReportDescriptor(largest)->inputReportLength, 65535);
}

TEST(ReportDescriptor, SumsDoNotWrap)
{
    // 2^32-1 x 2^32-1 bits, many times over: a 64-bit sum that would wrap
    // back to a small, plausible length must be refused instead.
    std::vector<std::uint8_t> bytes {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 5; ++i) {
        bytes.insert(bytes.end(), {0x81, 0x02});
    }
    EXPECT_FALSE(ParseReportDescriptor(bytes));
}

TEST(ReportDescriptor, PushDepthIsBounded)
{
    std::vector<std::uint8_t> bytes(100000, 0xA4); // Push, Push, ...
    EXPECT_FALSE(ParseReportDescriptor(bytes));
    std::vector<std::uint8_t> balanced;
    for (int i = 0; i < 64; ++i) {
        balanced.push_back(0xA4);
    }
    for (int i = 0; i < 64; ++i) {
        balanced.push_back(0xB4);
    }
    EXPECT_TRUE(ParseReportDescriptor(balanced));
}

} // namespace
} // namespace qz
