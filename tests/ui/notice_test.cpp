// What the main window tells the desktop when no press can ever show: a
// missing transceiver, or one that cannot be opened, once per run each; and
// nothing at all while a transceiver works, also across an unplug.
#include "forms_fixture.h"

#include "ui/desktop_notifier.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace qz {

void PrintTo(const Notice& notice, std::ostream* out)
{
    *out << "{" << notice.summary << " | " << notice.body << "}";
}

namespace test {
namespace {

using namespace std::chrono_literals;

struct RecordingNotifier final : DesktopNotifier {
    void Notify(const Notice& notice) override { notices.push_back(notice); }
    std::vector<Notice> notices;
};

const Notice kNoTransceiver {"No transceiver found",
    "No transceiver found (USB 0003:1001 or 0003:1003). Plug it in, then start qz470-tester again."};

// At start the tester does not look again; after an unplug it looks until a transceiver opens.
Notice NoPermission(const std::string& path, bool whileSearching = false)
{
    return {"No permission to open the transceiver",
        "No permission to open the transceiver at " + path
            + " (USB 0003:1003). Install the qz470-tester package, or copy its udev rule 60-qz470-tester.rules to "
              "/etc/udev/rules.d/; then replug the transceiver"
            + (whileSearching ? ": qz470-tester is looking for it and will pick it up."
                              : " and start qz470-tester again.")};
}

class Notices : public FormsTest {
protected:
    Notices()
    {
        hooks.notifier = notifier;
        // What went to standard error, in order.
        hooks.openFailure = [this](const OpenFailure& failure) { told.push_back("cannot open " + failure.path); };
        hooks.noTransceiver = [this] { told.push_back("no transceiver"); };
    }

    std::shared_ptr<RecordingNotifier> notifier = std::make_shared<RecordingNotifier>();
    std::vector<std::string> told;
};

TEST_F(Notices, AtStartEachKindOfTroubleIsToldOnceAndAWorkingTransceiverNotAtAll)
{
    const struct {
        const char* what;
        std::function<void(FakeHidBus&, FakeHidDevice&)> setUp;
        std::vector<std::string> told;
        std::vector<Notice> notices;
    } cases[] = {
        {"absent", [](FakeHidBus&, FakeHidDevice& d) { d.Unplug(); }, {"no transceiver"}, {kNoTransceiver}},
        {"refused", [](FakeHidBus&, FakeHidDevice& d) { d.openStatus = HidLayer::OpenStatus::PermissionDenied; },
            {"cannot open /dev/hidraw0"}, {NoPermission("/dev/hidraw0")}},
        // Two refused nodes: a line for each, one notification.
        {"two refused",
            [](FakeHidBus& bus, FakeHidDevice& d) {
                d.openStatus = HidLayer::OpenStatus::PermissionDenied;
                bus.AddDevice(Transceiver::kVendorId, Transceiver::kFrameModelProductId, 9, 9).openStatus
                    = HidLayer::OpenStatus::PermissionDenied;
            },
            {"cannot open /dev/hidraw0", "cannot open /dev/hidraw1"}, {NoPermission("/dev/hidraw0")}},
        {"failing",
            [](FakeHidBus&, FakeHidDevice& d) {
                d.openStatus = HidLayer::OpenStatus::Failed; // EIO
            },
            {"cannot open /dev/hidraw0"},
            {{"Cannot open the transceiver",
                "Cannot open the transceiver at /dev/hidraw0 (USB 0003:1003): " + std::string(std::strerror(EIO))
                    + "."}}},
        {"opens", [](FakeHidBus&, FakeHidDevice&) {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHidBus caseBus;
        FakeHidDevice& d = caseBus.AddDevice(Transceiver::kVendorId, Transceiver::kFrameModelProductId, 9, 9);
        c.setUp(caseBus, d);
        notifier->notices.clear();
        told.clear();
        form = std::make_unique<frmMain>(caseBus, timers, keys, hooks);
        timers.Advance(5s);
        EXPECT_EQ(told, c.told);
        EXPECT_EQ(notifier->notices, c.notices);
        form.reset();
    }
}

// Presses show: the refusal is a line on standard error, not a notification.
TEST_F(Notices, ARefusedTransceiverBeforeOneThatOpensGetsOnlyItsLine)
{
    device->openStatus = HidLayer::OpenStatus::PermissionDenied;
    FakeHidDevice& second = bus.AddDevice(Transceiver::kVendorId, Transceiver::kFrameModelProductId, 9, 9);
    frmMain& f = Start();
    second.QueueReport(FrameReport(7, kBuzz));
    timers.Advance(5s);
    EXPECT_EQ(f.lblPad->text(), "7");
    EXPECT_EQ(told, std::vector<std::string> {"cannot open /dev/hidraw0"});
    EXPECT_TRUE(notifier->notices.empty());
}

TEST_F(Notices, AnUnplugAndReturnIsQuietAndANodeThatRefusesForGoodIsToldOnce)
{
    Start();
    device->Unplug();
    timers.Advance(1s);
    device->Plug();
    timers.Advance(1s);
    ASSERT_TRUE(form->Device()->Connected());
    EXPECT_TRUE(notifier->notices.empty());

    // Back without the udev rule: the link retries quietly, then gives up.
    device->Unplug();
    timers.Advance(1s);
    device->openStatus = HidLayer::OpenStatus::PermissionDenied;
    device->Plug();
    timers.Advance(10s);
    EXPECT_EQ(told, std::vector<std::string> {"cannot open /dev/hidraw0"});
    EXPECT_EQ(notifier->notices, std::vector<Notice> {NoPermission("/dev/hidraw0", true)});
}

} // namespace
} // namespace test
} // namespace qz
