// The transceiver on Qt's event loop: a listener that pumps the loop, sends
// LED reports and releases the transceiver from inside the poll step. Run in
// the AddressSanitizer build, this proves no freed memory is touched.
#include "fakes/fake_hid_bus.h"
#include "link/transceiver.h"
#include "timer/qt/qt_timer_layer.h"

#include "reports.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace qz {
namespace {

TEST(TransceiverOnQt, TheListenerMayPumpSendAndReleaseInsideThePollStep)
{
    FakeHidBus bus;
    FakeHidDevice& device = bus.AddDevice(Transceiver::kVendorId, Transceiver::kFrameModelProductId, 9, 9);
    for (int i = 0; i < 3; ++i) {
        device.QueueReport(test::FrameReport(5, test::kA));
    }
    QtTimerLayer timers;
    auto dev = std::make_unique<Transceiver>(bus, timers);
    int presses = 0;
    int nested = 0;
    bool inside = false;
    dev->SetButtonPressedHandler([&](TransceiverData& TRData) {
        nested += inside ? 1 : 0;
        inside = true;
        ++presses;
        QTest::qWait(100); // like the main window's pause, with the loop running
        dev->LEDOnShort(TRData.Remote());
        if (presses == 2) {
            dev.reset(); // the window closes while the poll step is on the stack
        }
        inside = false;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return dev == nullptr; }, 5000));
    QTest::qWait(200); // no tick may reach the released transceiver
    EXPECT_EQ(presses, 2);
    EXPECT_EQ(nested, 0);
    EXPECT_EQ(device.Writes().size(), 2u);
    EXPECT_EQ(device.QueuedCount(), 1u);
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
}

} // namespace
} // namespace qz

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
