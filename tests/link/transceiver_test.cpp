// Transceiver logic over the scripted HID bus and the test clock.
#include "common/error.h"
#include "fakes/fake_hid_bus.h"
#include "fakes/fake_timer_layer.h"
#include "link/transceiver.h"

#include "reports.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace qz {
namespace {

using namespace std::chrono_literals;

constexpr std::uint16_t kVendor = Transceiver::kVendorId;
constexpr std::uint16_t kCmdModel = Transceiver::kCmdModelProductId;
constexpr std::uint16_t kFrameModel = Transceiver::kFrameModelProductId;

// Pad 1, A, as the 0x1001 model sends it (3-byte input report).
const ByteArray kCodePad1A = test::CodeReport(1, padcode::Key::A);
// Pad 5, A, as the 0x1003 model sends it (9-byte input report).
const ByteArray kFramePad5A = test::FrameReport(5, test::kA);

struct Press {
    std::int16_t remote;
    std::string button;
};

// One sane bus, one clock, and a transceiver built on demand; each test
// changes one thing.
class LinkTest : public ::testing::Test {
protected:
    Transceiver& Make()
    {
        dev = std::make_unique<Transceiver>(bus, timers, [this](const std::vector<OpenFailure>& told, bool opened) {
            failures.insert(failures.end(), told.begin(), told.end());
            lastSearchOpened = opened;
        });
        dev->SetButtonPressedHandler([this](TransceiverData& TRData) {
            presses.push_back({TRData.Remote(), TRData.Button()});
        });
        return *dev;
    }
    FakeHidDevice& AddFrameModel() { return bus.AddDevice(kVendor, kFrameModel, 9, 9); }
    FakeHidDevice& AddCmdModel() { return bus.AddDevice(kVendor, kCmdModel, 3, 6); }

    FakeHidBus bus;
    FakeTimerLayer timers;
    std::unique_ptr<Transceiver> dev;
    std::vector<Press> presses;
    // Every open failure the listener heard of, in order, and whether the
    // search that last told of some opened a transceiver past them.
    std::vector<OpenFailure> failures;
    bool lastSearchOpened = false;
};

// --- Discovery and opening -------------------------------------------------

TEST_F(LinkTest, NoDeviceLeavesItAbsentAndSilent)
{
    Transceiver& t = Make();
    EXPECT_FALSE(t.Ready());
    EXPECT_FALSE(t.Connected());
    EXPECT_EQ(timers.RunningCount(), 0u);
    EXPECT_EQ(timers.StartCount(), 0u);
    t.LEDOn(1);
    t.LEDOnShort(1);
    t.LEDFlash(300); // not even an overflow: nothing is built
    EXPECT_TRUE(t.ReportBuffer().empty());
    dev.reset();
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
}

TEST_F(LinkTest, ForeignDevicesArePassedOverWithoutBeingOpened)
{
    FakeHidDevice& otherProduct = bus.AddDevice(kVendor, 0x1002, 9, 9);
    FakeHidDevice& otherVendor = bus.AddDevice(0x0004, kCmdModel, 3, 6);
    FakeHidDevice& noIds = bus.AddDevice(kVendor, kFrameModel, 9, 9);
    noIds.idsUnknown = true;
    FakeHidDevice& first = AddCmdModel();
    FakeHidDevice& second = AddFrameModel();

    Transceiver& t = Make();
    EXPECT_TRUE(t.Ready());
    EXPECT_TRUE(t.CmdModel());
    EXPECT_EQ(t.DevicePath(), first.Path());
    EXPECT_EQ(otherProduct.OpenCount() + otherVendor.OpenCount() + noIds.OpenCount(), 0);
    EXPECT_EQ(first.OpenHandles(), 1); // one handle reads and writes
    EXPECT_EQ(second.OpenCount(), 0); // later interfaces are never opened
    dev.reset();
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
}

TEST_F(LinkTest, ModelAndBufferFollowTheDevice)
{
    AddFrameModel();
    Transceiver& t = Make();
    EXPECT_FALSE(t.CmdModel());
    EXPECT_EQ(t.ReportBuffer(), ByteArray(10, 0));
    EXPECT_EQ(timers.RunningCount(), 1u);

    FakeHidBus bus2;
    bus2.AddDevice(kVendor, kCmdModel, 3, 6);
    Transceiver t2(bus2, timers);
    EXPECT_TRUE(t2.CmdModel());
    EXPECT_EQ(t2.ReportBuffer(), ByteArray(4, 0));
}

TEST_F(LinkTest, UnreadableCapabilitiesGiveAOneByteBufferThatNeverDecodes)
{
    FakeHidDevice& d = AddFrameModel();
    d.lengthsUnknown = true;
    d.QueueReport(kFramePad5A);
    Transceiver& t = Make();
    EXPECT_TRUE(t.Ready());
    EXPECT_EQ(t.ReportBuffer().size(), 1u);
    timers.Advance(60ms);
    EXPECT_TRUE(presses.empty());
    EXPECT_THROW(t.LEDOn(1), Error); // the frame does not fit
    EXPECT_TRUE(d.Writes().empty());
}

TEST_F(LinkTest, AnUnopenableTransceiverIsReportedOnceAndTheSearchGoesOn)
{
    FakeHidDevice& denied = AddFrameModel();
    denied.openStatus = HidLayer::OpenStatus::PermissionDenied;
    FakeHidDevice& broken = AddFrameModel();
    broken.openStatus = HidLayer::OpenStatus::Failed;
    FakeHidDevice& vanished = AddFrameModel();
    vanished.openStatus = HidLayer::OpenStatus::Gone; // nothing the user can fix
    FakeHidDevice& usable = AddCmdModel();
    Transceiver& t = Make();
    EXPECT_EQ(t.DevicePath(), usable.Path());
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].path, denied.Path());
    EXPECT_EQ(failures[0].status, HidLayer::OpenStatus::PermissionDenied);
    EXPECT_EQ(failures[0].productId, kFrameModel);
    EXPECT_EQ(failures[1].path, broken.Path());
    EXPECT_EQ(failures[1].status, HidLayer::OpenStatus::Failed);
    EXPECT_TRUE(lastSearchOpened);
    EXPECT_EQ(denied.OpenHandles() + broken.OpenHandles() + vanished.OpenHandles(), 0);
}

TEST_F(LinkTest, WithoutAListenerOpenFailuresAreQuiet)
{
    AddFrameModel().openStatus = HidLayer::OpenStatus::PermissionDenied;
    Transceiver t(bus, timers);
    EXPECT_FALSE(t.Ready());
}

TEST_F(LinkTest, AbsentStaysAbsentWhenATransceiverArrivesLater)
{
    Transceiver& t = Make();
    AddFrameModel().QueueReport(kFramePad5A);
    timers.Advance(10s);
    EXPECT_FALSE(t.Ready());
    EXPECT_TRUE(presses.empty());
    EXPECT_EQ(bus.EnumerateCount(), 1u);
}

// --- Polling and the button-pressed event ----------------------------------

TEST_F(LinkTest, EachTickTakesAtMostOneReport)
{
    FakeHidDevice& d = AddFrameModel();
    d.QueueReport(kFramePad5A);
    d.QueueReport(kFramePad5A); // the same press twice: announced twice
    d.QueueReport(kFramePad5A);
    Make();
    timers.Advance(29ms);
    EXPECT_TRUE(presses.empty());
    timers.Advance(1ms);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].remote, 5);
    EXPECT_EQ(presses[0].button, "A");
    timers.Advance(60ms);
    EXPECT_EQ(presses.size(), 3u);
    EXPECT_EQ(d.QueuedCount(), 0u);
    timers.Advance(300ms); // idle ticks raise nothing and keep polling
    EXPECT_EQ(presses.size(), 3u);
    EXPECT_TRUE(dev->Polling());
}

TEST_F(LinkTest, UndecodableReportsRaiseNothingAndPollingGoesOn)
{
    FakeHidDevice& d = AddCmdModel();
    d.QueueReport({0x00, 0x00, 0x15}); // key code 21: not in the table
    d.QueueReport({0x01, 0x00, 0x80}); // report ID 1
    d.QueueReport({0x00, 0x00, 0x00}); // all zero
    d.QueueReport(kCodePad1A);
    Make();
    timers.Advance(120ms);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].remote, 1);

    FakeHidBus bus2;
    FakeHidDevice& f = bus2.AddDevice(kVendor, kFrameModel, 9, 9);
    ByteArray badChecksum = kFramePad5A;
    badChecksum[6] ^= 1;
    f.QueueReport(badChecksum);
    f.QueueReport({0x00, 0xFA, 0x07, 0x00, 0x05, 0x00, 0xF8}); // key byte 0
    Transceiver t2(bus2, timers);
    std::vector<std::string> buttons;
    t2.SetButtonPressedHandler([&](TransceiverData& TRData) { buttons.push_back(TRData.Button()); });
    timers.Advance(60ms);
    EXPECT_EQ(buttons, std::vector<std::string> {"POWERED"});
}

TEST_F(LinkTest, AShortReadLeavesTheRestOfTheBufferAndALongOneIsCut)
{
    FakeHidDevice& d = AddFrameModel();
    ByteArray longReport = kFramePad5A;
    longReport.push_back(0xEE); // one byte more than the input report
    d.QueueReport(longReport);
    d.QueueReport({0x00, 0xFA, 0x07});
    Make();
    timers.Advance(30ms);
    ByteArray expected = kFramePad5A;
    expected.push_back(0); // index L is never written by a read
    EXPECT_EQ(dev->ReportBuffer(), expected);
    timers.Advance(30ms);
    EXPECT_EQ(dev->ReportBuffer(), expected); // the old tail completes the frame again
    EXPECT_EQ(presses.size(), 2u);
}

TEST_F(LinkTest, AListenerThatPumpsSeesNoNestedTick)
{
    FakeHidDevice& d = AddFrameModel();
    d.QueueReport(kFramePad5A);
    d.QueueReport(kFramePad5A);
    Make();
    std::vector<std::uint32_t> at;
    dev->SetButtonPressedHandler([&](TransceiverData&) {
        at.push_back(timers.NowMs());
        timers.Advance(100ms); // like the main window's pause with message pumping
    });
    ASSERT_TRUE(timers.TickOnce()); // (a nested Advance would move the clock back afterwards)
    ASSERT_EQ(at.size(), 1u);
    EXPECT_EQ(timers.NowMs(), at[0] + 100);
    timers.Advance(29ms);
    EXPECT_EQ(at.size(), 1u);
    timers.Advance(1ms); // a full interval after the step re-enabled the timer
    ASSERT_EQ(at.size(), 2u);
    EXPECT_EQ(at[1], at[0] + 130);
}

TEST_F(LinkTest, AFailedWaitEndsPollingButLedsStillWork)
{
    FakeHidDevice& d = AddCmdModel();
    d.QueueWaitFailed();
    d.QueueReport(kCodePad1A);
    Make();
    timers.Advance(30ms);
    EXPECT_FALSE(dev->Polling());
    EXPECT_EQ(timers.RunningCount(), 0u);
    timers.Advance(1s);
    EXPECT_TRUE(presses.empty());
    EXPECT_EQ(d.QueuedCount(), 1u);
    dev->LEDOn(1);
    EXPECT_EQ(d.Writes().size(), 1u);
}

TEST_F(LinkTest, AnErrorFromTheListenerEndsPolling)
{
    FakeHidDevice& d = AddFrameModel();
    d.QueueReport(kFramePad5A);
    d.QueueReport(kFramePad5A);
    Make();
    int calls = 0;
    dev->SetButtonPressedHandler([&](TransceiverData& TRData) {
        ++calls;
        dev->LEDFlash(static_cast<std::int16_t>(TRData.Remote() + 300)); // overflow escapes
    });
    timers.Advance(300ms);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(dev->Polling());
}

// The listener may release the transceiver while the poll step is on the
// stack (its window is being closed). Run under AddressSanitizer, this proves
// that nothing touches the freed object, its timer or its listener.
TEST_F(LinkTest, TheListenerMayDestroyTheTransceiver)
{
    FakeHidDevice& d = AddFrameModel();
    d.QueueReport(kFramePad5A);
    d.QueueReport(kFramePad5A);
    Make();
    auto big = std::make_shared<std::vector<int>>(1000, 7); // captured: freed with the listener
    dev->SetButtonPressedHandler([this, big](TransceiverData& TRData) {
        dev->LEDOnShort(TRData.Remote());
        dev.reset();
        EXPECT_EQ(big->at(999), 7);
        EXPECT_EQ(TRData.Remote(), 5);
    });
    big.reset();
    timers.Advance(30ms);
    EXPECT_EQ(dev, nullptr);
    EXPECT_EQ(timers.RunningCount(), 0u);
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
    EXPECT_EQ(d.Writes().size(), 1u);
    timers.Advance(1s); // no tick reaches the freed object
}

// --- Unplug and return -------------------------------------------------------

TEST_F(LinkTest, UnplugClosesTheNodeAndReplugResumesPresses)
{
    FakeHidDevice& d = AddFrameModel();
    Make();
    d.Unplug();
    timers.Advance(30ms);
    EXPECT_TRUE(dev->Ready());
    EXPECT_FALSE(dev->Connected());
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
    dev->LEDOn(3); // quietly sent nowhere
    EXPECT_TRUE(d.Writes().empty());

    // Searches only while gone, every 10 ticks.
    const std::size_t before = bus.EnumerateCount();
    timers.Advance(600ms);
    EXPECT_EQ(bus.EnumerateCount() - before, 2u);

    d.Plug();
    d.QueueReport(kFramePad5A);
    timers.Advance(300ms);
    EXPECT_TRUE(dev->Connected());
    ASSERT_EQ(presses.size(), 1u);
    const std::size_t searches = bus.EnumerateCount();
    timers.Advance(1s);
    EXPECT_EQ(bus.EnumerateCount(), searches);
    dev->LEDOnShort(5);
    EXPECT_EQ(d.Writes().size(), 1u);
}

TEST_F(LinkTest, AnotherModelMayComeBackAtAnotherNode)
{
    FakeHidDevice& frame = AddFrameModel();
    Make();
    frame.Unplug();
    timers.Advance(30ms);
    FakeHidDevice& cmd = AddCmdModel();
    cmd.QueueReport(kCodePad1A);
    timers.Advance(330ms);
    EXPECT_TRUE(dev->CmdModel());
    EXPECT_EQ(dev->DevicePath(), cmd.Path());
    EXPECT_EQ(dev->ReportBuffer().size(), 4u);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].remote, 1);
}

TEST_F(LinkTest, PermissionsStillBeingAppliedAreWaitedForQuietly)
{
    FakeHidDevice& d = AddFrameModel();
    Make();
    d.Unplug();
    timers.Advance(30ms);
    d.Plug();
    d.openStatus = HidLayer::OpenStatus::PermissionDenied;
    d.failNextOpens = 2;
    timers.Advance(1s);
    EXPECT_TRUE(dev->Connected());
    EXPECT_TRUE(failures.empty());
}

TEST_F(LinkTest, PermissionDeniedForGoodIsReportedAfterTheRetries)
{
    FakeHidDevice& d = AddFrameModel();
    Make();
    d.Unplug();
    timers.Advance(30ms);
    d.Plug();
    d.openStatus = HidLayer::OpenStatus::PermissionDenied;
    timers.Advance(1500ms);
    EXPECT_TRUE(failures.empty());
    timers.Advance(1500ms);
    EXPECT_FALSE(dev->Connected());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].path, d.Path());
    EXPECT_FALSE(lastSearchOpened);
    timers.Advance(10s); // the search goes on, and the listener hears nothing more
    EXPECT_EQ(failures.size(), 1u);
    d.openStatus = HidLayer::OpenStatus::Opened; // the user fixed the rule
    timers.Advance(400ms);
    EXPECT_TRUE(dev->Connected());
}

// --- LED commands --------------------------------------------------------------

struct LedCase {
    const char* command;
    std::int16_t pad;
    ByteArray sent;
};

void Send(Transceiver& t, const std::string& command, std::int16_t pad)
{
    if (command == "Off") {
        t.LEDOff(pad);
    } else if (command == "On") {
        t.LEDOn(pad);
    } else if (command == "OnShort") {
        t.LEDOnShort(pad);
    } else {
        t.LEDFlash(pad);
    }
}

// Sends each case's command in turn; each must write exactly its report.
template <std::size_t N> void ExpectEachSends(Transceiver& t, const FakeHidDevice& d, const LedCase (&cases)[N])
{
    for (const LedCase& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + std::to_string(c.pad));
        Send(t, c.command, c.pad);
        ASSERT_FALSE(d.Writes().empty());
        EXPECT_EQ(d.Writes().back(), c.sent);
    }
    EXPECT_EQ(d.Writes().size(), N);
}

TEST_F(LinkTest, FrameModelLedFrames)
{
    const LedCase cases[] = {
        {"OnShort", 5, {0x00, 0xFA, 0x08, 0x01, 0x05, 0x00, 0x02, 0xF4, 0xAF}},
        {"Off", 10, {0x00, 0xFA, 0x08, 0x01, 0x00, 0x00, 0x00, 0xF3, 0xAF}},
        {"On", 20, {0x00, 0xFA, 0x08, 0x01, 0x0A, 0x00, 0x01, 0xF8, 0xAF}},
        {"Flash", 260, {0x00, 0xFA, 0x08, 0x01, 0xFA, 0x00, 0x03, 0x0A, 0xAF}},
        {"Flash", 15, {0x00, 0xFA, 0x08, 0x01, 0x0F, 0x00, 0x03, 0xFF, 0xAF}},
        {"OnShort", 0, {0x00, 0xFA, 0x08, 0x01, 0x50, 0x00, 0x02, 0xA1, 0xAF}},
        {"OnShort", -1, {0x00, 0xFA, 0x08, 0x01, 0x50, 0x00, 0x02, 0xA1, 0xAF}},
        // Pad 0 or below: the all-pads byte 80, never a stale pad byte.
        {"Off", 0, {0x00, 0xFA, 0x08, 0x01, 0x50, 0x00, 0x00, 0xA3, 0xAF}},
        {"On", -7, {0x00, 0xFA, 0x08, 0x01, 0x50, 0x00, 0x01, 0xA2, 0xAF}},
        {"Flash", -32768, {0x00, 0xFA, 0x08, 0x01, 0x50, 0x00, 0x03, 0xA0, 0xAF}},
    };
    FakeHidDevice& d = AddFrameModel();
    Transceiver& t = Make();
    ExpectEachSends(t, d, cases);
    // The frame is built in ReportBuffer; its spare byte is left alone.
    ByteArray expected = cases[std::size(cases) - 1].sent;
    expected.push_back(0);
    EXPECT_EQ(t.ReportBuffer(), expected);
}

TEST_F(LinkTest, CmdModelReports)
{
    const auto cmd = [](std::uint8_t code) { return ByteArray {0x00, 0x63, 0x6D, 0x64, code, 0x00}; };
    const LedCase cases[] = {
        {"On", 1, cmd(0x29)},
        {"On", 20, cmd(60)},
        {"On", 21, cmd(0x43)},
        {"On", 209, cmd(255)},
        {"Off", 0, cmd(203)},
        {"Off", 129, cmd(255)},
        {"Off", 21, cmd(147)},
        {"Flash", -5, cmd(202)},
        {"Flash", 1, cmd(81)},
        {"Flash", 169, cmd(255)},
        {"On", 35, cmd(81)},
        {"OnShort", 0, cmd(0)},
        {"OnShort", 20, cmd(20)},
        {"OnShort", 21, cmd(27)},
        {"OnShort", 249, cmd(255)},
        {"On", 0, cmd(201)},
    };
    FakeHidDevice& d = AddCmdModel();
    Transceiver& t = Make();
    ExpectEachSends(t, d, cases);
    t.LEDOnShort(-1);
    EXPECT_EQ(d.Writes().size(), std::size(cases));
    EXPECT_EQ(t.ReportBuffer(), ByteArray(4, 0)); // the cmd report has an array of its own
}

TEST_F(LinkTest, PadsThatDoNotFitAByteFailWithOverflowAndSendNothing)
{
    FakeHidDevice& cmdDevice = AddCmdModel();
    Transceiver& t = Make();
    for (const auto& [command, pad] : std::vector<std::pair<std::string, std::int16_t>> {
             {"Off", 130}, {"On", 210}, {"Flash", 170}, {"OnShort", 250}, {"On", 32767}}) {
        SCOPED_TRACE(command + " " + std::to_string(pad));
        try {
            Send(t, command, pad);
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), 6);
        }
    }
    EXPECT_TRUE(cmdDevice.Writes().empty());

    FakeHidBus bus2;
    FakeHidDevice& frameDevice = bus2.AddDevice(kVendor, kFrameModel, 9, 9);
    Transceiver t2(bus2, timers);
    for (std::int16_t pad : {256, 259, 270, 1000}) {
        SCOPED_TRACE(pad);
        try {
            t2.LEDFlash(pad);
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), 6);
        }
    }
    EXPECT_TRUE(frameDevice.Writes().empty());
    // The indices before the pad byte stay written.
    EXPECT_EQ(ByteArray(t2.ReportBuffer().begin(), t2.ReportBuffer().begin() + 5),
        (ByteArray {0x00, 0xFA, 0x08, 0x01, 0x00}));
}

TEST_F(LinkTest, AFrameModelWithAShortBufferFailsOutOfRange)
{
    FakeHidDevice& d = bus.AddDevice(kVendor, kFrameModel, 3, 9);
    Transceiver& t = Make();
    try {
        t.LEDOnShort(5);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), 9);
    }
    EXPECT_TRUE(d.Writes().empty());
    EXPECT_EQ(t.ReportBuffer(), (ByteArray {0x00, 0xFA, 0x08, 0x01}));
}

TEST_F(LinkTest, OutputReportsAreCutOrZeroPaddedToTheOutputLength)
{
    FakeHidDevice& d = bus.AddDevice(kVendor, kCmdModel, 3, 9);
    Transceiver& t = Make();
    t.LEDOn(1);
    EXPECT_EQ(d.Writes().back(), (ByteArray {0x00, 0x63, 0x6D, 0x64, 0x29, 0x00, 0x00, 0x00, 0x00}));
    d.outputReportLength = 4; // read again on replug only: still 9 here
    t.LEDOn(2);
    EXPECT_EQ(d.Writes().back().size(), 9u);

    FakeHidBus bus2;
    FakeHidDevice& small = bus2.AddDevice(kVendor, kFrameModel, 9, 4);
    Transceiver t2(bus2, timers);
    t2.LEDOnShort(5);
    EXPECT_EQ(small.Writes().back(), (ByteArray {0x00, 0xFA, 0x08, 0x01}));

    FakeHidBus bus3;
    FakeHidDevice& none = bus3.AddDevice(kVendor, kFrameModel, 9, 0);
    Transceiver t3(bus3, timers);
    t3.LEDOnShort(5);
    EXPECT_TRUE(none.Writes().empty());
}

} // namespace
} // namespace qz
