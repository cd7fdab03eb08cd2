// The hidraw layer and the Transceiver against a real kernel's hidraw, with
// transceivers made through /dev/uhid: what umockdev's PTY nodes cannot show
// (one whole report per read, the report ID rules of reads and writes,
// hang-up on unplug, a return at the very same node). run_in_qemu.sh boots a
// kernel with this test as its only program; elsewhere it exits 77.
#include "fakes/fake_timer_layer.h"
#include "link/hidraw/hidraw_layer.h"
#include "link/transceiver.h"

#include "kernel_descriptors.h"
#include "reports.h"
#include "uhid_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qz {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The descriptors of data/descriptors and tests/data/descriptors, embedded at build time.
const Bytes kFrameDescriptor(std::begin(embedded::kTransceiver1003), std::end(embedded::kTransceiver1003));
const Bytes kReportIdDescriptor(std::begin(embedded::kTransceiverReportIds), std::end(embedded::kTransceiverReportIds));
const Bytes kCodeDescriptor(std::begin(embedded::kTransceiver1001), std::end(embedded::kTransceiver1001));
const Bytes kFramePad5A = test::FrameData(5, test::kA);
const Bytes kFramePad11B = test::FrameData(11, test::kB);

using test::UhidDevice;

struct Press {
    std::int16_t remote;
    std::string button;
};

class KernelTest : public ::testing::Test {
protected:
    Transceiver& Make()
    {
        dev = std::make_unique<Transceiver>(layer, timers);
        dev->SetButtonPressedHandler([this](TransceiverData& TRData) {
            presses.push_back({TRData.Remote(), TRData.Button()});
        });
        return *dev;
    }
    // One poll tick, after the kernel has had a moment to queue what was sent.
    void Tick()
    {
        std::this_thread::sleep_for(20ms);
        timers.Advance(30ms);
    }
    void TearDown() override { dev.reset(); }

    HidrawLayer layer;
    FakeTimerLayer timers;
    std::unique_ptr<Transceiver> dev;
    std::vector<Press> presses;
};

TEST_F(KernelTest, FrameModelReadsOneWholeReportPerTickAndLightsLeds)
{
    UhidDevice device(Transceiver::kFrameModelProductId, kFrameDescriptor);
    Transceiver& t = Make();
    ASSERT_TRUE(t.Ready());
    EXPECT_FALSE(t.CmdModel());
    EXPECT_EQ(t.ReportBuffer().size(), 10u);

    device.Send(kFramePad5A);
    device.Send(kFramePad11B);
    Tick();
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].remote, 5);
    EXPECT_EQ(t.ReportBuffer()[0], 0); // no report IDs: a 0 in front
    Tick();
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(presses[1].remote, 11);
    EXPECT_EQ(presses[1].button, "B");

    t.LEDOnShort(5);
    EXPECT_EQ(device.Received(), (Bytes {0x00, 0xFA, 0x08, 0x01, 0x05, 0x00, 0x02, 0xF4, 0xAF}));
}

TEST_F(KernelTest, UnplugAndReturnAtTheSameNode)
{
    auto device = std::make_unique<UhidDevice>(Transceiver::kFrameModelProductId, kFrameDescriptor);
    Transceiver& t = Make();
    const std::string node = t.DevicePath();
    device.reset();
    std::this_thread::sleep_for(100ms);
    t.LEDOn(1); // a write to the vanished node fails quietly
    Tick();
    EXPECT_FALSE(t.Connected());
    EXPECT_TRUE(t.Ready());

    device = std::make_unique<UhidDevice>(Transceiver::kFrameModelProductId, kFrameDescriptor);
    for (int i = 0; i < 20 && !t.Connected(); ++i) {
        Tick();
    }
    ASSERT_TRUE(t.Connected());
    EXPECT_EQ(t.DevicePath(), node);
    device->Send(kFramePad5A);
    Tick();
    EXPECT_EQ(presses.size(), 1u);
}

TEST_F(KernelTest, ReportIdsStayAtIndexZero)
{
    UhidDevice device(Transceiver::kFrameModelProductId, kReportIdDescriptor);
    Transceiver& t = Make();
    ASSERT_EQ(t.ReportBuffer().size(), 10u);
    Bytes report = kFramePad5A;
    report.insert(report.begin(), 0x05); // the report ID first
    device.Send(report);
    Tick();
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(t.ReportBuffer()[0], 5);
}

TEST_F(KernelTest, CmdModelReadsCodeReportsAndSendsCmdReports)
{
    UhidDevice device(Transceiver::kCmdModelProductId, kCodeDescriptor);
    Transceiver& t = Make();
    ASSERT_TRUE(t.CmdModel());
    EXPECT_EQ(t.ReportBuffer().size(), 4u);
    device.Send({0x00, 0x80});
    Tick();
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].remote, 1);
    EXPECT_EQ(presses[0].button, "A");
    t.LEDOn(1);
    EXPECT_EQ(device.Received(), (Bytes {0x00, 0x63, 0x6D, 0x64, 0x29, 0x00}));
}

} // namespace
} // namespace qz
