// The Linux HID layer and the Transceiver on it, against transceivers that
// umockdev emulates: udev enumeration, sysfs report descriptors, reports read
// through the device node, LED reports written to it, unplug and replug.
// Runs under umockdev-wrapper; exits 77 when no test bed can be made.
#include "descriptor_files.h"
#include "fakes/fake_timer_layer.h"
#include "link/hidraw/hidraw_layer.h"
#include "link/transceiver.h"
#include "reports.h"

#include "umockdev_bed.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qz {
namespace {

using namespace std::chrono_literals;

using test::EmulatedHid;

// The shared test bed, with descriptors named after the samples in
// data/descriptors and tests/data/descriptors (nullptr: no descriptor at all).
class TestBed : public test::HidTestBed {
public:
    EmulatedHid Add(const std::string& usbPort, std::uint16_t vendor, std::uint16_t product, const char* descriptor,
        const std::string& hidrawName)
    {
        return HidTestBed::Add(usbPort, vendor, product,
            descriptor != nullptr ? testdata::LoadNamedDescriptor(descriptor).bytes : std::vector<std::uint8_t> {},
            hidrawName);
    }
};

// The data of one input report, as the device sends it on the wire.
void Send(int master, const std::vector<std::uint8_t>& bytes)
{
    ASSERT_TRUE(qz::test::SendAtMaster(master, bytes));
}

using qz::test::ReceiveAtMaster;

struct Press {
    std::int16_t remote;
    std::string button;
    std::uint8_t reportId;
};

class HidrawTest : public ::testing::Test {
protected:
    Transceiver& Make()
    {
        dev = std::make_unique<Transceiver>(layer, timers);
        dev->SetButtonPressedHandler([this](TransceiverData& TRData) {
            presses.push_back({TRData.Remote(), TRData.Button(), dev->ReportBuffer()[0]});
        });
        return *dev;
    }

    // Polls tick by tick until pred holds; the PTY hands bytes over
    // asynchronously, so allow it a moment (never a pass/fail bound on speed).
    template <typename Pred> bool TickUntil(Pred pred, int ticks = 400)
    {
        for (int i = 0; i < ticks; ++i) {
            timers.Advance(30ms);
            if (pred()) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    void TearDown() override { dev.reset(); }

    TestBed bed;
    HidrawLayer layer;
    FakeTimerLayer timers;
    std::unique_ptr<Transceiver> dev;
    std::vector<Press> presses;
};

// As the transceivers send them: no report IDs, so data bytes only.
const std::vector<std::uint8_t> kFramePad5A = test::FrameData(5, test::kA);
const std::vector<std::uint8_t> kCodePad1A = test::CodeData(1, padcode::Key::A);

TEST_F(HidrawTest, EnumeratesInUdevOrderWithIdsFromTheHidParent)
{
    bed.Add("1-1", 0x046D, 0xC077, "mouse_boot", "hidraw0");
    bed.Add("1-2", 0x0003, 0x1003, "transceiver_1003", "hidraw1");
    bed.Add("1-3", 0x0003, 0x1001, "transceiver_1001", "hidraw2");
    const auto found = layer.Enumerate();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].path, "/dev/hidraw0");
    EXPECT_EQ(found[0].vendorId, 0x046D);
    EXPECT_EQ(found[1].path, "/dev/hidraw1");
    EXPECT_EQ(found[1].productId, 0x1003);
    EXPECT_EQ(found[2].path, "/dev/hidraw2");
    EXPECT_EQ(found[2].productId, 0x1001);
    for (const auto& item : found) {
        EXPECT_TRUE(item.idsKnown);
    }
    // Lengths without opening the node, from its sysfs descriptor.
    HidLayer::ReportLengths mouse;
    ASSERT_TRUE(layer.DescriptorReportLengths("/dev/hidraw0", mouse));
    EXPECT_EQ(mouse.input, 5);
    EXPECT_EQ(mouse.output, 0);
    EXPECT_FALSE(layer.DescriptorReportLengths("/dev/hidraw9", mouse));

    // The one descriptor stays out of child processes, never waits on a
    // read, and the lengths come from the sysfs report descriptor.
    const auto opened = layer.Open("/dev/hidraw2");
    ASSERT_EQ(opened.status, HidLayer::OpenStatus::Opened);
    EXPECT_EQ(layer.PollDescriptor(opened.handle), opened.handle);
    EXPECT_NE(::fcntl(opened.handle, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(::fcntl(opened.handle, F_GETFL) & O_NONBLOCK, 0);
    HidLayer::ReportLengths lengths;
    ASSERT_TRUE(layer.GetReportLengths(opened.handle, lengths));
    EXPECT_EQ(lengths.input, 3);
    EXPECT_EQ(lengths.output, 6);
    layer.Close(opened.handle);
    EXPECT_EQ(layer.PollDescriptor(opened.handle), -1);
    EXPECT_EQ(layer.Open("/dev/hidraw9").status, HidLayer::OpenStatus::Gone);
}

TEST_F(HidrawTest, FindsTheFirstTransceiverReadsPressesAndLightsLeds)
{
    bed.Add("1-1", 0x046D, 0xC077, "mouse_boot", "hidraw0");
    const EmulatedHid frame = bed.Add("1-2", 0x0003, 0x1003, "transceiver_1003", "hidraw1");
    bed.Add("1-3", 0x0003, 0x1001, "transceiver_1001", "hidraw2");
    Transceiver& t = Make();
    ASSERT_TRUE(t.Ready());
    EXPECT_EQ(t.DevicePath(), frame.node);
    EXPECT_FALSE(t.CmdModel());
    EXPECT_EQ(t.ReportBuffer().size(), 10u);

    const int master = bed.Master(frame);
    Send(master, kFramePad5A);
    ASSERT_TRUE(TickUntil([&] { return presses.size() == 1; }));
    EXPECT_EQ(presses[0].remote, 5);
    EXPECT_EQ(presses[0].button, "A");
    EXPECT_EQ(presses[0].reportId, 0); // a device without report IDs reads as ID 0
    Send(master, kFramePad5A);
    ASSERT_TRUE(TickUntil([&] { return presses.size() == 2; }));

    t.LEDOnShort(5);
    EXPECT_EQ(
        ReceiveAtMaster(master, 9), (std::vector<std::uint8_t> {0x00, 0xFA, 0x08, 0x01, 0x05, 0x00, 0x02, 0xF4, 0xAF}));
    t.LEDFlash(260);
    EXPECT_EQ(
        ReceiveAtMaster(master, 9), (std::vector<std::uint8_t> {0x00, 0xFA, 0x08, 0x01, 0xFA, 0x00, 0x03, 0x0A, 0xAF}));
}

TEST_F(HidrawTest, ReportIdsAreKeptAtIndexZero)
{
    const EmulatedHid frame = bed.Add("1-1", 0x0003, 0x1003, "transceiver_report_ids", "hidraw0");
    Transceiver& t = Make();
    ASSERT_EQ(t.ReportBuffer().size(), 10u);
    std::vector<std::uint8_t> report = kFramePad5A;
    report.insert(report.begin(), 0x05); // the report ID in front of the frame
    Send(bed.Master(frame), report);
    ASSERT_TRUE(TickUntil([&] { return presses.size() == 1; }));
    EXPECT_EQ(presses[0].reportId, 5);
    EXPECT_EQ(presses[0].remote, 5);
}

TEST_F(HidrawTest, AMissingDescriptorGivesNoLengths)
{
    const EmulatedHid frame = bed.Add("1-1", 0x0003, 0x1003, nullptr, "hidraw0");
    Transceiver& t = Make();
    ASSERT_TRUE(t.Ready());
    EXPECT_EQ(t.ReportBuffer().size(), 1u);
    Send(bed.Master(frame), kFramePad5A);
    TickUntil([] { return false; }, 20);
    EXPECT_TRUE(presses.empty());
}

TEST_F(HidrawTest, SurvivesUnplugAndPicksUpWhatComesBack)
{
    const EmulatedHid frame = bed.Add("1-2", 0x0003, 0x1003, "transceiver_1003", "hidraw1");
    Transceiver& t = Make();
    ASSERT_TRUE(t.Connected());

    // Unplugged: the node hangs up; writes to it must not kill the process.
    bed.Unplug(frame);
    t.LEDOn(1); // before the poll step has noticed: the write fails quietly
    ASSERT_TRUE(TickUntil([&] { return !t.Connected(); }));
    t.LEDOn(1);
    EXPECT_TRUE(t.Ready());

    // A code-report transceiver appears at another node.
    const EmulatedHid cmd = bed.Add("1-3", 0x0003, 0x1001, "transceiver_1001", "hidraw2");
    ASSERT_TRUE(TickUntil([&] { return t.Connected(); }));
    EXPECT_TRUE(t.CmdModel());
    EXPECT_EQ(t.DevicePath(), cmd.node);
    EXPECT_EQ(t.ReportBuffer().size(), 4u);
    Send(bed.Master(cmd), kCodePad1A);
    ASSERT_TRUE(TickUntil([&] { return presses.size() == 1; }));
    EXPECT_EQ(presses[0].remote, 1);
    EXPECT_EQ(presses[0].button, "A");
    t.LEDOn(1);
    EXPECT_EQ(ReceiveAtMaster(bed.Master(cmd), 6), (std::vector<std::uint8_t> {0x00, 0x63, 0x6D, 0x64, 0x29, 0x00}));

    // That one goes too, and the first comes back at its old USB port. (One
    // umockdev test bed cannot create the same node name twice, so it gets a
    // new node; the fake bus covers a return at the very same node.)
    bed.Unplug(cmd);
    ASSERT_TRUE(TickUntil([&] { return !t.Connected(); }));
    const EmulatedHid back = bed.Add("1-2", 0x0003, 0x1003, "transceiver_1003", "hidraw3");
    ASSERT_TRUE(TickUntil([&] { return t.Connected(); }));
    EXPECT_EQ(t.DevicePath(), back.node);
    EXPECT_FALSE(t.CmdModel());
    Send(bed.Master(back), kFramePad5A);
    ASSERT_TRUE(TickUntil([&] { return presses.size() == 2; }));
    EXPECT_EQ(presses[1].remote, 5);
}

} // namespace
} // namespace qz
