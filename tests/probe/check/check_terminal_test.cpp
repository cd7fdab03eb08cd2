// qz470-probe check on a real pseudo-terminal (tmux), against transceivers
// that umockdev emulates: the grid fills as reports arrive and the count
// follows, POWERED and ERROR are flagged, an unplug is shown and the check
// goes on when a transceiver returns, the grid pages and follows a resize,
// --light lights each pad once and switches every one off at the end with
// the tester's bytes, and the table and exit status at the end. Runs under
// umockdev-wrapper; exits 77 without it or without tmux.
#include "child_process.h"
#include "descriptor_files.h"
#include "reports.h"
#include "tmux_session.h"
#include "umockdev_bed.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qz {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::EmulatedHid;
using test::Lines;
using Bytes = std::vector<std::uint8_t>;

const std::string kProbe = QZ_PROBE;

// The LED frame of the 0x1003 model for pads 1 to 9: report ID 0, start byte
// 0xFA, length 8, 1, pad byte, 0, LED mode (0 off, 1 on), XOR checksum of
// the six bytes before it, end byte 0xAF.
Bytes LedFrame(int pad, int mode)
{
    Bytes frame {
        0x00, 0xFA, 0x08, 0x01, static_cast<std::uint8_t>(pad), 0x00, static_cast<std::uint8_t>(mode), 0, 0xAF};
    frame[7] = static_cast<std::uint8_t>(frame[1] ^ frame[2] ^ frame[3] ^ frame[4] ^ frame[5] ^ frame[6]);
    return frame;
}

class CheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() / ("qz-check-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    EmulatedHid AddFrameModel(const std::string& port = "1-2", const std::string& node = "hidraw1")
    {
        return bed.Add(port, 0x0003, 0x1003, testdata::LoadNamedDescriptor("transceiver_1003").bytes, node);
    }

    std::unique_ptr<test::TmuxSession> Check(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {kProbe, "check"});
        return std::make_unique<test::TmuxSession>(arguments, 80, 24, std::vector<std::string> {}, dir_.string());
    }

    void Press(const EmulatedHid& hid, int pad, test::FrameKey key)
    {
        ASSERT_TRUE(test::SendAtMaster(bed.Master(hid), test::FrameData(pad, key)));
    }

    test::HidTestBed bed;
    std::filesystem::path dir_;
};

TEST_F(CheckTest, TheGridFillsFlagsAndFollowsAnUnplugThenQPrintsThePartialTable)
{
    const EmulatedHid first = AddFrameModel();
    // Without a terminal (a new session has none) there is nothing to draw on.
    const auto detached = test::RunToEnd({"/usr/bin/setsid", "-w", kProbe, "check"});
    EXPECT_EQ(detached.status, 2);
    EXPECT_NE(detached.err.find("check needs a terminal"), std::string::npos) << detached.err;

    auto check = Check({"--pads", "40", "--light"});
    ASSERT_TRUE(check->WaitFor("0 of 40 pads seen")) << check->Screen() << check->Err();
    EXPECT_NE(check->Screen().find("qz470-probe check: transceiver 0x1003 at /dev/hidraw1"), std::string::npos);
    EXPECT_NE(check->Screen().find("pads 1 to 40 of 40"), std::string::npos);

    Press(first, 1, test::kA);
    EXPECT_TRUE(check->WaitFor("1 of 40 pads seen")) << check->Screen();
    Press(first, 1, test::kBuzz);
    Press(first, 2, test::kPowered);
    Press(first, 35, test::kBuzz); // a BUZZ past pad 30 gets a place
    Press(first, 40, test::kError);
    Press(first, 55, test::kA); // beyond the kit
    const std::string screen
        = check->WaitForScreen([](const std::string& s) { return s.find("last: pad 55 A") != std::string::npos; });
    EXPECT_NE(screen.find("4 of 40 pads seen"), std::string::npos) << screen;
    // Cells: number, A B C D, BUZZ (pads 1 to 30, or once one came), P, E.
    for (const char* cell :
        {"  1 A... Z", "  2 .... . P", " 30 .... .", " 31 ....   ", " 35 .... Z", " 40 ....    E"}) {
        EXPECT_NE(screen.find(cell), std::string::npos) << cell << "\n" << screen;
    }
    EXPECT_NE(screen.find("also heard from pads beyond 40: 55"), std::string::npos) << screen;

    bed.Unplug(first);
    EXPECT_TRUE(check->WaitFor("transceiver unplugged from /dev/hidraw1")) << check->Screen();
    const EmulatedHid back = AddFrameModel("1-4", "hidraw3");
    EXPECT_TRUE(check->WaitFor("transceiver 0x1003 at /dev/hidraw3")) << check->Screen();
    Press(back, 3, test::kD);
    EXPECT_TRUE(check->WaitFor("5 of 40 pads seen   LEDs lit: 5")) << check->Screen();

    // Ended while unplugged: the LEDs cannot be switched off, and it says so.
    bed.Unplug(back);
    EXPECT_TRUE(check->WaitFor("transceiver unplugged from /dev/hidraw3")) << check->Screen();
    check->SendKeys("q");
    EXPECT_EQ(check->Wait(), 1); // pads missing
    const std::vector<std::string> table = Lines(check->Out());
    ASSERT_EQ(table.size(), 40u);
    EXPECT_EQ(table[0], "pad 1: A BUZZ");
    EXPECT_EQ(table[1], "pad 2: no button; POWERED");
    EXPECT_EQ(table[2], "pad 3: D");
    EXPECT_EQ(table[3], "pad 4: not seen");
    EXPECT_EQ(table[34], "pad 35: BUZZ");
    EXPECT_EQ(table[39], "pad 40: no button; ERROR");
    EXPECT_EQ(check->Err(),
        "qz470-probe: LEDOff was not sent to pads 1 to 3, 35, 40 (no transceiver is connected), so the LED may "
        "still be lit. Plug the transceiver in and run 'qz470-probe led off PAD'.\n"
        "qz470-probe: 5 of 40 pads seen; not seen: 4 to 34, 36 to 39; also heard from pads beyond 40: 55.\n");
}

TEST_F(CheckTest, LightSendsLedOnOncePerPadAndLedOffToEachAtTheEnd)
{
    const EmulatedHid frame = AddFrameModel();
    auto check = Check({"--pads", "3", "--light", "--json"});
    ASSERT_TRUE(check->WaitFor("0 of 3 pads seen")) << check->Screen() << check->Err();
    const int master = bed.Master(frame);

    Press(frame, 2, test::kA);
    EXPECT_EQ(test::ReceiveAtMaster(master, 9), LedFrame(2, 1));
    // More from pad 2 lights nothing: the next frame out is pad 1's.
    Press(frame, 2, test::kB);
    Press(frame, 2, test::kPowered);
    Press(frame, 1, test::kBuzz);
    EXPECT_EQ(test::ReceiveAtMaster(master, 9), LedFrame(1, 1));
    Press(frame, 3, test::kC);
    EXPECT_EQ(test::ReceiveAtMaster(master, 9), LedFrame(3, 1));
    EXPECT_TRUE(check->WaitFor("3 of 3 pads seen   LEDs lit: 3")) << check->Screen();

    check->SendKeys("C-c"); // ends as q does
    EXPECT_EQ(check->Wait(), 0); // every pad seen
    Bytes off = LedFrame(2, 0);
    for (const int pad : {1, 3}) {
        const Bytes frameOff = LedFrame(pad, 0);
        off.insert(off.end(), frameOff.begin(), frameOff.end());
    }
    EXPECT_EQ(test::ReceiveAtMaster(master, 27), off);
    EXPECT_TRUE(test::ReceiveAtMaster(master, 1, 200ms).empty()); // the probe has ended: nothing else came

    std::vector<json> table;
    for (const std::string& line : Lines(check->Out())) {
        table.push_back(json::parse(line));
    }
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[1],
        json::parse(R"({"pad": 2, "seen": true, "buttons": ["A", "B"], "flags": ["POWERED"], "counted": true})"));
    EXPECT_EQ(table[0]["buttons"], json::parse(R"(["BUZZ"])"));
    EXPECT_EQ(check->Err(), "qz470-probe: 3 of 3 pads seen.\n");
}

TEST_F(CheckTest, TwoHundredPadsPageAndTheGridFollowsResizes)
{
    const EmulatedHid frame = AddFrameModel();
    auto check = Check({"--pads", "200"});
    // 80 x 24: five cells a row, eighteen rows.
    ASSERT_TRUE(check->WaitFor("pads 1 to 90 of 200  PgDn: next pads")) << check->Screen() << check->Err();
    Press(frame, 150, test::kB);
    ASSERT_TRUE(check->WaitFor("1 of 200 pads seen")) << check->Screen();
    EXPECT_EQ(check->Screen().find("150 ."), std::string::npos);

    check->SendKeys("NPage");
    EXPECT_TRUE(check->WaitFor("pads 91 to 180 of 200  PgUp/PgDn: earlier/next pads")) << check->Screen();
    EXPECT_NE(check->Screen().find("150 .B.."), std::string::npos) << check->Screen();
    check->SendKeys("NPage");
    EXPECT_TRUE(check->WaitFor("pads 181 to 200 of 200  PgUp: earlier pads")) << check->Screen();
    check->SendKeys("PPage");
    EXPECT_TRUE(check->WaitFor("pads 91 to 180 of 200")) << check->Screen();

    // Larger: ten cells a row, and all 200 pads fit.
    check->Resize(160, 40);
    const std::string wide = check->WaitForScreen(
        [](const std::string& s) { return s.find("pads 1 to 200 of 200") != std::string::npos; });
    EXPECT_NE(wide.find("pads 1 to 200 of 200"), std::string::npos) << wide;
    bool tenInARow = false;
    for (const std::string& line : Lines(wide)) {
        tenInARow = tenInARow || (line.rfind("141 ", 0) == 0 && line.find("150 .B..") != std::string::npos);
    }
    EXPECT_TRUE(tenInARow) << wide;
    // Smaller: two cells a row; too small for a cell, a line that says so.
    check->Resize(40, 12);
    EXPECT_TRUE(check->WaitFor("pads 1 to 12 of 200")) << check->Screen();
    check->Resize(12, 5);
    const std::string tiny = check->WaitForScreen(
        [](const std::string& s) { return s.rfind("qz470-probe", 0) == 0 && s.find("pads") == std::string::npos; });
    EXPECT_EQ(Lines(tiny).at(0), "qz470-probe") << tiny; // the start of "make the terminal at least ..."
    check->Resize(80, 24);
    EXPECT_TRUE(check->WaitFor("pads 1 to 90 of 200")) << check->Screen();

    check->SendKeys("q");
    EXPECT_EQ(check->Wait(), 1);
    EXPECT_EQ(Lines(check->Out()).size(), 200u);
}

} // namespace
} // namespace qz
