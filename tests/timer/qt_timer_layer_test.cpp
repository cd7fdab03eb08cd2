// SelfTimer on Qt's real event loop. Bounds are generous: the loop is real,
// the machine is shared, and nothing here fails on a tight wall-clock bound.
#include "timer/qt/qt_timer_layer.h"
#include "timer/self_timer.h"

#include <QCoreApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace qz {
namespace {

TEST(QtTimerLayer, TicksArriveWithGrowingSeconds)
{
    QtTimerLayer layer;
    SelfTimer timer(layer);
    std::vector<std::int64_t> seconds;
    timer.SetTimerHandler([&](Seconds s) { seconds.push_back(s.count()); });
    timer.SetInterval(10);
    ASSERT_TRUE(QTest::qWaitFor([&] { return seconds.size() >= 5; }));
    EXPECT_EQ(seconds[0], 0);
    for (std::size_t i = 1; i < seconds.size(); ++i) {
        // Qt may deliver a late tick and an early one (coarse timers fire
        // within 5 % of the interval) in the same millisecond: never backwards.
        EXPECT_GE(seconds[i], seconds[i - 1]);
        EXPECT_EQ(seconds[i] % 10, 0) << "whole milliseconds";
    }
    // Four intervals of 10 ms cannot all fall into one millisecond.
    EXPECT_GT(seconds.back(), seconds.front());
}

TEST(QtTimerLayer, StopInsideTheTickMeansNoFurtherTick)
{
    QtTimerLayer layer;
    SelfTimer timer(layer);
    int ticks = 0;
    timer.SetTimerHandler([&](Seconds) {
        ++ticks;
        timer.SetEnabled(false);
    });
    timer.SetInterval(5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks == 1; }));
    QTest::qWait(100);
    EXPECT_EQ(ticks, 1);
}

TEST(QtTimerLayer, DisableAndReenableInsideTheTickKeepsTicking)
{
    QtTimerLayer layer;
    SelfTimer timer(layer);
    int ticks = 0;
    timer.SetTimerHandler([&](Seconds) {
        ++ticks;
        timer.SetEnabled(false);
        QCoreApplication::processEvents(); // the poll step's listener pumps the loop
        timer.SetEnabled(true);
    });
    timer.SetInterval(5);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 10; }));
}

TEST(QtTimerLayer, ReleasedInsideItsOwnTick)
{
    QtTimerLayer layer;
    auto timer = std::make_unique<SelfTimer>(layer);
    int ticks = 0;
    timer->SetTimerHandler([&](Seconds) {
        ++ticks;
        timer.reset();
    });
    timer->SetInterval(5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks == 1; }));
    QTest::qWait(60);
    EXPECT_EQ(ticks, 1);
}

TEST(QtTimerLayer, TwoTimersRunSideBySide)
{
    QtTimerLayer layer;
    SelfTimer fast(layer);
    SelfTimer slow(layer);
    int fastTicks = 0;
    int slowTicks = 0;
    fast.SetTimerHandler([&](Seconds) { ++fastTicks; });
    slow.SetTimerHandler([&](Seconds) { ++slowTicks; });
    fast.SetInterval(5);
    slow.SetInterval(40);
    ASSERT_TRUE(QTest::qWaitFor([&] { return slowTicks >= 2; }));
    EXPECT_GT(fastTicks, slowTicks);
}

TEST(QtTimerLayer, ErrorsNeverReachTheEventLoop)
{
    QtTimerLayer layer;
    SelfTimer timer(layer);
    int ticks = 0;
    timer.SetTimerHandler([&](Seconds) {
        ++ticks;
        throw std::runtime_error("escapes the handler");
    });
    timer.SetInterval(5);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }));
}

} // namespace
} // namespace qz

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    {
        // Before any application object exists there is no loop to bind to:
        // the timer cannot start and shows that as Enabled false.
        qz::QtTimerLayer layer;
        qz::SelfTimer timer(layer);
        timer.SetInterval(30);
        if (timer.Enabled() || timer.Running()) {
            std::fprintf(stderr, "a timer without an event loop claims to run\n");
            return 1;
        }
    }
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
