#include "common/error.h"
#include "fakes/fake_timer_layer.h"
#include "timer/self_timer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace qz {
namespace {

using namespace std::chrono_literals;

// Records every tick: the fake clock's time and the Seconds it carried.
struct Recorder {
    struct Tick {
        std::uint32_t atMs;
        std::int64_t seconds; // ten-thousandths
    };
    FakeTimerLayer& layer;
    std::vector<Tick> ticks;

    void Attach(SelfTimer& timer)
    {
        timer.SetTimerHandler([this](Seconds s) { ticks.push_back({layer.NowMs(), s.count()}); });
    }
};

TEST(SelfTimer, NewTimerIsEnabledWithZeroIntervalAndSilent)
{
    FakeTimerLayer layer;
    SelfTimer timer(layer);
    Recorder rec {layer, {}};
    rec.Attach(timer);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 0);
    EXPECT_FALSE(timer.Running());
    layer.Advance(1s);
    EXPECT_TRUE(rec.ticks.empty());
    EXPECT_EQ(layer.StartCount(), 0u);
}

TEST(SelfTimer, SecondsCountFromTheFirstTickInWholeMilliseconds)
{
    FakeTimerLayer layer(5000);
    SelfTimer timer(layer);
    Recorder rec {layer, {}};
    rec.Attach(timer);
    timer.SetInterval(31);
    layer.Advance(100ms);
    ASSERT_EQ(rec.ticks.size(), 3u);
    EXPECT_EQ(rec.ticks[0].atMs, 5031u);
    EXPECT_EQ(rec.ticks[0].seconds, 0);
    EXPECT_EQ(rec.ticks[1].seconds, 310); // 0.0310 s
    EXPECT_EQ(rec.ticks[2].seconds, 620);
}

TEST(SelfTimer, ResetTakesTheNextTickAsNewBase)
{
    FakeTimerLayer layer;
    SelfTimer timer(layer);
    Recorder rec {layer, {}};
    rec.Attach(timer);
    timer.SetInterval(30);
    layer.Advance(90ms);
    timer.Reset();
    layer.Advance(60ms);
    ASSERT_EQ(rec.ticks.size(), 5u);
    EXPECT_EQ(rec.ticks[3].seconds, 0);
    EXPECT_EQ(rec.ticks[4].seconds, 300);
    EXPECT_EQ(layer.RunningCount(), 1u) << "Reset does not touch the platform timer";
}

TEST(SelfTimer, EnabledOffAndOnKeepsTheBaseAndRestartsThePeriod)
{
    FakeTimerLayer layer;
    SelfTimer timer(layer);
    Recorder rec {layer, {}};
    rec.Attach(timer);
    timer.SetInterval(30);
    layer.Advance(30ms); // first tick: the base
    timer.SetEnabled(false);
    layer.Advance(500ms);
    EXPECT_EQ(rec.ticks.size(), 1u);
    timer.SetEnabled(true);
    layer.Advance(29ms);
    EXPECT_EQ(rec.ticks.size(), 1u);
    layer.Advance(1ms);
    ASSERT_EQ(rec.ticks.size(), 2u);
    EXPECT_EQ(rec.ticks[1].seconds, 5300) << "full time since the base: 500 + 30 ms";
}

TEST(SelfTimer, SettingEnabledTrueWhileRunningRestartsThePeriod)
{
    FakeTimerLayer layer;
    SelfTimer timer(layer);
    Recorder rec {layer, {}};
    rec.Attach(timer);
    timer.SetInterval(30);
    layer.Advance(20ms);
    const auto t = layer.NowMs();
    timer.SetEnabled(true);
    layer.Advance(40ms);
    ASSERT_EQ(rec.ticks.size(), 1u);
    EXPECT_EQ(rec.ticks[0].atMs, t + 30);
    EXPECT_EQ(layer.RunningCount(), 1u);
}

TEST(SelfTimer, IntervalRules)
{
    FakeTimerLayer layer;
    SelfTimer timer(layer);
    Recorder rec {layer, {}};
    rec.Attach(timer);
    timer.SetInterval(30);
    const auto starts = layer.StartCount();

    timer.SetInterval(-5); // ignored: value kept, timer untouched
    EXPECT_EQ(timer.Interval(), 30);
    EXPECT_EQ(layer.StartCount(), starts);
    layer.Advance(60ms);
    EXPECT_EQ(rec.ticks.size(), 2u);

    timer.SetInterval(0); // stops; Enabled stays true
    EXPECT_TRUE(timer.Enabled());
    EXPECT_FALSE(timer.Running());
    layer.Advance(200ms);
    EXPECT_EQ(rec.ticks.size(), 2u);

    timer.SetInterval(50); // starts again
    layer.Advance(100ms);
    EXPECT_EQ(rec.ticks.size(), 4u);
    EXPECT_EQ(layer.RunningCount(), 1u);
}

TEST(SelfTimer, DisabledTimerDoesNotStartWhenIntervalIsSet)
{
    FakeTimerLayer layer;
    SelfTimer timer(layer);
    timer.SetEnabled(false);
    timer.SetInterval(30);
    EXPECT_FALSE(timer.Running());
    EXPECT_EQ(layer.StartCount(), 0u);
}

// The owner's pattern on every tick: disable first, re-enable at the end.
TEST(SelfTimer, StopAndRestartFromInsideTheHandler)
{
    FakeTimerLayer layer;
    SelfTimer timer(layer);
    std::vector<std::uint32_t> at;
    bool stopForGood = false;
    timer.SetTimerHandler([&](Seconds) {
        at.push_back(layer.NowMs());
        timer.SetEnabled(false);
        layer.Advance(45ms); // a slow handler: no nested tick while disabled
        if (!stopForGood) {
            timer.SetEnabled(true);
        }
    });
    timer.SetInterval(30);
    layer.TickOnce();
    layer.TickOnce();
    ASSERT_EQ(at.size(), 2u);
    EXPECT_EQ(at[1] - at[0], 45u + 30u) << "next tick one interval after the handler's set";

    stopForGood = true;
    layer.TickOnce();
    EXPECT_EQ(at.size(), 3u);
    EXPECT_FALSE(layer.TickOnce()) << "no tick after a stop inside the handler";
    EXPECT_EQ(layer.RunningCount(), 0u);
}

// A handler that advances the clock itself (a slow listener) leaves it
// where it got to: the outer Advance must not move time backwards.
TEST(FakeTimerLayer, NestedAdvanceNeverMovesTheClockBack)
{
    FakeTimerLayer layer(0);
    SelfTimer timer(layer);
    timer.SetTimerHandler([&](Seconds) {
        timer.SetEnabled(false);
        layer.Advance(std::chrono::milliseconds(100));
    });
    timer.SetInterval(30);
    layer.Advance(std::chrono::milliseconds(40));
    EXPECT_EQ(layer.NowMs(), 130u);
}

TEST(SelfTimer, ReleasedFromInsideItsOwnHandler)
{
    FakeTimerLayer layer;
    auto timer = std::make_unique<SelfTimer>(layer);
    int ticks = 0;
    timer->SetTimerHandler([&](Seconds) {
        ++ticks;
        timer.reset(); // the sanitizer build proves nothing touches it afterwards
    });
    timer->SetInterval(30);
    layer.Advance(100ms);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(layer.RunningCount(), 0u);
}

TEST(SelfTimer, ReleasingARunningTimerStopsTheTicks)
{
    FakeTimerLayer layer;
    {
        SelfTimer timer(layer);
        timer.SetInterval(30);
        EXPECT_EQ(layer.RunningCount(), 1u);
    }
    EXPECT_EQ(layer.RunningCount(), 0u);
    EXPECT_FALSE(layer.TickOnce());
}

TEST(SelfTimer, AnErrorFromTheHandlerStopsAtTheTick)
{
    FakeTimerLayer layer;
    SelfTimer timer(layer);
    int ticks = 0;
    timer.SetTimerHandler([&](Seconds) {
        ++ticks;
        timer.SetEnabled(false);
        throw Error::Overflow();
    });
    timer.SetInterval(30);
    EXPECT_NO_THROW(layer.Advance(200ms));
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(timer.Enabled()) << "the timer stays as the handler left it";
    EXPECT_FALSE(timer.Running());
}

TEST(SelfTimer, ErrorFromAHandlerThatLeftTheTimerRunningKeepsTicking)
{
    FakeTimerLayer layer;
    SelfTimer timer(layer);
    int ticks = 0;
    timer.SetTimerHandler([&](Seconds) {
        ++ticks;
        throw Error::OutOfRange();
    });
    timer.SetInterval(10);
    layer.Advance(50ms);
    EXPECT_EQ(ticks, 5);
}

TEST(SelfTimer, UnbindableTimerShowsAsDisabled)
{
    FakeTimerLayer layer;
    layer.failBind = true;
    SelfTimer timer(layer);
    timer.SetInterval(30);
    EXPECT_FALSE(timer.Enabled());
    EXPECT_FALSE(timer.Running());
    EXPECT_EQ(timer.Interval(), 30);
}

TEST(SelfTimer, RefusedPlatformTimerGoesUnnoticedUntilTheNextSet)
{
    FakeTimerLayer layer;
    layer.refuseStart = true;
    SelfTimer timer(layer);
    Recorder rec {layer, {}};
    rec.Attach(timer);
    timer.SetInterval(30);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_TRUE(timer.Running());
    layer.Advance(100ms);
    EXPECT_TRUE(rec.ticks.empty());

    layer.refuseStart = false;
    timer.SetEnabled(true);
    layer.Advance(30ms);
    EXPECT_EQ(rec.ticks.size(), 1u);
}

// The tick count is 32 bits of milliseconds; across its wrap the difference
// of the widened values goes negative. A first tick at count 0 takes no base.
TEST(SelfTimer, SecondsAcrossTheTickCountWrap)
{
    FakeTimerLayer layer(0xFFFFFFFFu - 59u); // first tick at 2^32 - 30
    SelfTimer timer(layer);
    Recorder rec {layer, {}};
    rec.Attach(timer);
    timer.SetInterval(30);
    layer.Advance(120ms);
    ASSERT_EQ(rec.ticks.size(), 4u);
    EXPECT_EQ(rec.ticks[0].atMs, 0xFFFFFFE2u);
    EXPECT_EQ(rec.ticks[0].seconds, 0);
    EXPECT_EQ(rec.ticks[1].atMs, 0u);
    EXPECT_EQ(rec.ticks[1].seconds, (0 - static_cast<std::int64_t>(0xFFFFFFE2u)) * 10);
    EXPECT_EQ(rec.ticks[2].seconds, (30 - static_cast<std::int64_t>(0xFFFFFFE2u)) * 10);

    // A base taken at tick count 0 is no base: the next tick takes it again.
    FakeTimerLayer atZero(0xFFFFFFFFu - 29u);
    SelfTimer second(atZero);
    Recorder rec2 {atZero, {}};
    rec2.Attach(second);
    second.SetInterval(30);
    atZero.Advance(90ms);
    ASSERT_EQ(rec2.ticks.size(), 3u);
    EXPECT_EQ(rec2.ticks[0].atMs, 0u);
    EXPECT_EQ(rec2.ticks[0].seconds, 0);
    EXPECT_EQ(rec2.ticks[1].seconds, 0);
    EXPECT_EQ(rec2.ticks[2].seconds, 300);
}

} // namespace
} // namespace qz
