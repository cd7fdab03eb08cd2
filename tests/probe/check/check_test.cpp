// check without a device: the kit, its table and the screen's layout.
#include "probe/check/check_layout.h"
#include "probe/check/kit_check.h"
#include "probe/core/report_record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <vector>

namespace qz::probe {
namespace {

using nlohmann::json;

// At every terminal size, from none at all to a wide one, the screen stays
// inside the terminal, and paging through the grid shows every pad once.
TEST(ProbeCheck, TheScreenFitsEveryTerminalAndThePagesShowEveryPadOnce)
{
    KitCheck kit(kMaxPads);
    kit.Apply(1, "A");
    kit.Apply(35, "BUZZ");
    kit.Apply(260, "ERROR");
    kit.Apply(2, "POWERED");
    kit.Apply(300, "A"); // beyond the kit
    CheckStatus status;
    status.connection = "transceiver 0x1003 at /dev/hidraw-with-a-rather-long-name-that-does-not-fit";
    status.light = true;
    status.note = "LEDOn not sent to pad 3: writing to the transceiver failed";
    for (int width = 0; width <= 160; width += 3) {
        for (int height = 0; height <= 50; ++height) {
            GridPager pager(kit.PadCount());
            const GridFit fit = FitGrid(width, height);
            pager.Fit(fit);
            std::set<int> shown;
            for (int page = 0; page < kMaxPads + 1; ++page) {
                for (const Span& span : LayOutCheck(kit, status, pager, width, height)) {
                    ASSERT_TRUE(span.row >= 0 && span.row < height && span.column >= 0
                        && span.column + static_cast<int>(span.text.size()) <= width)
                        << width << "x" << height << ": '" << span.text << "' at " << span.row << "," << span.column;
                    if (span.tone == Tone::Seen || span.tone == Tone::Unseen) {
                        EXPECT_TRUE(shown.insert(std::stoi(span.text)).second) << span.text;
                    }
                }
                const int last = pager.Last();
                pager.Next();
                if (pager.Last() == last) {
                    break;
                }
            }
            EXPECT_EQ(shown.size(), fit.Usable() ? 260u : 0u) << width << "x" << height;
        }
    }
}

// A kit of 260 pads is complete once every pad byte has been heard: the
// four pads that no report can name (256 to 259) are not waited for.
TEST(ProbeCheck, PadsNoReportCanNameAreNotCounted)
{
    KitCheck kit(kMaxPads);
    EXPECT_EQ(SeenLine(kit), "0 of 256 pads seen");
    for (int padByte = 0; padByte <= 255; ++padByte) {
        // A framed report: report ID, start byte, length 7, reserved, pad
        // byte, key byte (POWERED), checksum, padding, the spare byte.
        ByteArray buffer {0x00, 0xFA, 0x07, 0x00, static_cast<std::uint8_t>(padByte), 0x00, 0, 0x00, 0x00, 0x00};
        buffer[6] = static_cast<std::uint8_t>(0xFA ^ 0x07 ^ padByte);
        const ReportRecord record = DecodeReport(buffer, 9, 0);
        ASSERT_TRUE(record.press);
        EXPECT_TRUE(kit.Apply(record.pad, record.button).firstTime) << padByte;
    }
    EXPECT_TRUE(kit.Complete());
    EXPECT_EQ(CheckSummary(kit), "qz470-probe: 256 of 256 pads seen.");
    const auto lines = TableLines(kit);
    EXPECT_EQ(lines[255], "pad 256: not counted, no report can name it");
    EXPECT_EQ(lines[259], "pad 260: no button; POWERED");
    EXPECT_EQ(json::parse(TableJsonLines(kit)[256])["counted"], false);
}

} // namespace
} // namespace qz::probe
