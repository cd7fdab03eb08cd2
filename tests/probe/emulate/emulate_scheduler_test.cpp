// emulate's scheduler on a clock the test moves and a transceiver that logs each call and when.
#include "probe/emulate/emulate_scheduler.h"
#include "probe/emulate/script_grammar.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qz::probe {
namespace {

using namespace std::chrono_literals;
using Source = EmulateScheduler::Source;

const EmulatedModel& kModel = *FindEmulatedModel(0x1003);

std::vector<EmulateStep> Steps(std::initializer_list<const char*> lines, std::vector<int> atMs = {})
{
    std::vector<EmulateStep> steps;
    for (const char* line : lines) {
        steps.push_back(*ParseEmulateLine(line, kModel).step);
        if (atMs.size() >= steps.size()) {
            steps.back().at = std::chrono::milliseconds(atMs[steps.size() - 1]);
        }
    }
    return steps;
}

struct FakeRun final : EmulateClock, VirtualTransceiver {
    std::chrono::steady_clock::time_point now {};
    std::vector<std::string> done, told;
    bool plugged = false, refuse = false;
    const std::string node = "/dev/hidraw0";
    EmulateScheduler scheduler;

    FakeRun(Source source, std::vector<EmulateStep> steps)
        : scheduler(kModel, source, std::move(steps), *this, *this, [this](auto& line) { told.push_back(line); })
    {
        EXPECT_TRUE(scheduler.Start());
    }
    void Note(const std::string& what) { done.push_back(what + "@" + std::to_string(now.time_since_epoch() / 1ms)); }
    std::chrono::steady_clock::time_point Now() override { return now; }
    bool Plug(const EmulatedModel&, std::chrono::milliseconds) override { return Note("plug"), plugged = !refuse; }
    void Unplug() override { Note("unplug"), plugged = false; }
    bool Plugged() const override { return plugged; }
    const std::string& Node() const override { return node; }
    bool Send(const ByteArray& data) override { return Note("send " + std::to_string(data[3])), true; }
    int ErrorCode() const override { return ETIMEDOUT; }

    // Moves the clock to each wake-up the scheduler asks for, up to `until`; false once the run is over.
    bool Until(std::chrono::milliseconds until)
    {
        while (scheduler.RunDue()) {
            const auto wait = scheduler.Timeout();
            if (!wait || now.time_since_epoch() + *wait > until) {
                return now = decltype(now)(until), true;
            }
            now += *wait;
        }
        return false;
    }
};

TEST(EmulateScheduler, AScriptStartsOnceAReaderStaysThenWaitsAndEnds)
{
    FakeRun run(Source::Script, Steps({"5 a", "wait 100", "6 a", "end", "7 a"}));
    EXPECT_TRUE(run.Until(2000ms)); // no reader: nothing
    run.scheduler.ReaderOpened(); // one that only looks, and closes at once
    run.scheduler.ReaderClosed();
    EXPECT_TRUE(run.Until(3000ms));
    run.scheduler.ReaderOpened();
    EXPECT_FALSE(run.Until(9000ms)); // at "end"; 7 a is never sent
    EXPECT_EQ(run.done, (std::vector<std::string> {"plug@0", "send 5@3500", "send 6@3600"}));
}

TEST(EmulateScheduler, AReplayedPressWaitsForAReaderAndTheGapsAfterItStay)
{
    FakeRun run(Source::Replay, Steps({"5 a", "6 a", "7 a"}, {0, 100, 400}));
    run.scheduler.ReaderOpened();
    EXPECT_TRUE(run.Until(550ms));
    run.scheduler.ReaderClosed();
    EXPECT_TRUE(run.Until(1000ms));
    run.scheduler.ReaderOpened();
    EXPECT_FALSE(run.Until(9000ms));
    EXPECT_EQ(run.done, (std::vector<std::string> {"plug@0", "send 5@500", "send 6@1500", "send 7@1800"}));
}

TEST(EmulateScheduler, TypedStepsUnplugReplugAndEndWithTheInput)
{
    FakeRun run(Source::Typed, Steps({"unplug", "5 a", "replug", "6 a"}));
    EXPECT_TRUE(run.Until(0ms)); // typing goes on
    EXPECT_EQ(run.done, (std::vector<std::string> {"plug@0", "unplug@0", "plug@0", "send 6@0"}));
    EXPECT_NE(run.told[2].find("pad 5 A was not sent: the transceiver is unplugged"), std::string::npos);
    EXPECT_NE(run.told.back().find("no program has the transceiver open"), std::string::npos);
    run.scheduler.InputEnded();
    EXPECT_FALSE(run.Until(0ms));

    FakeRun refused(Source::Typed, Steps({"replug", "6 a"}));
    refused.refuse = true;
    EXPECT_FALSE(refused.Until(0ms));
    EXPECT_TRUE(refused.scheduler.Failed());
}

} // namespace
} // namespace qz::probe
