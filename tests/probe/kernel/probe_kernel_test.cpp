// qz470-probe watch against a real kernel's hidraw, with transceivers made
// through /dev/uhid: sixty pads pressing within a few milliseconds reach
// standard output whole and in the order the device sent them, and are
// ranked in exactly that order, and watching survives an unplug and a
// return. run_in_vm.sh boots a kernel with this test as its only program and
// the probe beside it, named by QZ_PROBE; elsewhere it exits 77.
#include "child_process.h"
#include "probe_kernel_descriptors.h"
#include "reports.h"
#include "uhid_device.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace qz {
namespace {

using nlohmann::json;
using test::UhidDevice;

constexpr std::uint16_t kFrameModel = 0x1003;
constexpr std::uint16_t kCmdModel = 0x1001;
// The descriptors of data/descriptors, embedded at build time.
const test::Bytes kFrameDescriptor(std::begin(embedded::kTransceiver1003), std::end(embedded::kTransceiver1003));
const test::Bytes kCodeDescriptor(std::begin(embedded::kTransceiver1001), std::end(embedded::kTransceiver1001));

class ProbeKernelTest : public ::testing::Test {
protected:
    void SetUp() override { probe_ = test::ProbeInVmOrSkip(); }

    void StartWatching()
    {
        watch = test::ChildProcess::Start({probe_, "watch", "--json"});
        ASSERT_TRUE(watch);
    }

    json Next()
    {
        const auto line = watch->ReadLine();
        EXPECT_TRUE(line) << "no line; standard error: " << watch->Stderr();
        return line ? json::parse(*line) : json::object();
    }

    std::unique_ptr<test::ChildProcess> watch;
    std::string probe_;
};

// Sixty pads press within a few milliseconds, back to back, in an order that
// is neither their numbers nor their reverse, with the buttons in turn: fewer
// than the 64 reports hidraw queues per reader, so none may be lost. Every
// report line comes whole and in the device's order; SIGUSR1 closes the
// round, and its ranking is that order too, each delay no less than the one
// before.
TEST_F(ProbeKernelTest, SixtyPadsPressingAtOnceArriveWholeAndAreRankedInTheOrderSent)
{
    UhidDevice device(kFrameModel, kFrameDescriptor);
    StartWatching();
    EXPECT_EQ(Next()["event"], "connected");

    const test::FrameKey keys[] = {test::kA, test::kB, test::kC, test::kD, test::kBuzz};
    const char* const texts[] = {"A", "B", "C", "D", "BUZZ"};
    std::vector<int> sent;
    for (int i = 0; i < 60; ++i) {
        sent.push_back(i * 37 % 60 + 1); // 37 and 60 share no factor: each pad once
        device.Send(test::FrameData(sent.back(), keys[i % 5]));
    }
    double last = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        const json report = Next();
        ASSERT_EQ(report["pad"], sent[i]); // every report read before the round closes
        EXPECT_EQ(report["button"], texts[i % 5]);
        EXPECT_EQ(report["raw"].get<std::string>().size(), 18u); // report ID 0 and 8 bytes, no spare byte
        EXPECT_GE(report["time_ms"].get<double>(), last);
        last = report["time_ms"].get<double>();
    }
    watch->Signal(SIGUSR1);
    const json round = Next();
    EXPECT_EQ(round["event"], "round");
    ASSERT_EQ(round["ranking"].size(), sent.size()) << round.dump();
    double previous = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        const json& place = round["ranking"][i];
        EXPECT_EQ(place["pad"], sent[i]);
        EXPECT_EQ(place["button"], texts[i % 5]);
        EXPECT_GE(place["delay_ms"].get<double>(), previous);
        previous = place["delay_ms"].get<double>();
    }
    EXPECT_EQ(round["ranking"][0]["delay_ms"], 0.0);

    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(), 0);
    EXPECT_NE(watch->Stderr().find("qz470-probe: 60 reports in "), std::string::npos) << watch->Stderr();
    EXPECT_NE(watch->Stderr().find("1 round."), std::string::npos) << watch->Stderr();
}

// Watching follows the transceiver across unplugs: to the other model, plugged
// in meanwhile at another node, which the search finds; and to one plugged in
// after an unplug, at the node number the kernel hands out again.
TEST_F(ProbeKernelTest, WatchingGoesOnAcrossUnplugAndReplug)
{
    auto device = std::make_unique<UhidDevice>(kFrameModel, kFrameDescriptor);
    StartWatching();
    const json connected = Next();
    EXPECT_EQ(connected["model"], "0x1003");
    device->Send(test::FrameData(5, test::kA));
    EXPECT_EQ(Next()["pad"], 5);

    // Only the node watched wakes watch: the other model waits for the search.
    auto other = std::make_unique<UhidDevice>(kCmdModel, kCodeDescriptor);
    device.reset();
    const json unplugged = Next();
    EXPECT_EQ(unplugged["event"], "unplugged");
    EXPECT_EQ(unplugged["node"], connected["node"]);
    const json found = Next();
    EXPECT_EQ(found["event"], "connected");
    EXPECT_NE(found["node"], connected["node"]);
    EXPECT_EQ(found["model"], "0x1001");
    EXPECT_GE(found["time_ms"].get<double>(), unplugged["time_ms"].get<double>());
    other->Send(test::CodeData(7, padcode::Key::C));
    const json report = Next();
    EXPECT_EQ(report["pad"], 7);
    EXPECT_EQ(report["button"], "C");
    EXPECT_EQ(report["raw"], "000072"); // key code 114, and no spare byte

    other.reset();
    EXPECT_EQ(Next()["event"], "unplugged");
    device = std::make_unique<UhidDevice>(kFrameModel, kFrameDescriptor);
    const json back = Next();
    EXPECT_EQ(back["event"], "connected");
    EXPECT_EQ(back["model"], "0x1003");
    device->Send(test::FrameData(260, test::kBuzz));
    EXPECT_EQ(Next()["pad"], 260);

    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(), 0);
    EXPECT_NE(watch->Stderr().find("(3 presses, 0 not a press), unplugged 2 times."), std::string::npos)
        << watch->Stderr();
}

} // namespace
} // namespace qz
