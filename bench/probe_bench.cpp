// qz470-probe watch against a real kernel's hidraw, with a transceiver made
// through /dev/uhid; runs inside the qemu VM as the harness's test program,
// with the probe copied in beside it and named by QZ_PROBE (see
// docs/PERFORMANCE.md for the command).
//
// 1. Idle: the processor time and the wake-ups of the real probe over 60 s
//    with an idle transceiver connected (it blocks in poll() with no
//    timeout), and over 30 s with none (it looks every 300 ms).
// 2. Delay: for 1000 reports sent at random moments, how far each report's
//    time_ms lies from the moment the device sent it. This runs the probe's
//    own watch loop (RunWatch) in a forked process that is given the clock
//    origin of its time_ms, so that both sides read the same clock.
#include "child_process.h"
#include "link/hidraw/hidraw_layer.h"
#include "measure.h"
#include "probe/watch/watch_command.h"
#include "probe_bench_descriptors.h"
#include "reports.h"
#include "uhid_device.h"

#include <nlohmann/json.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using qz::bench::Percentile;
using qz::bench::Usage;
using qz::bench::UsageOf;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t kFrameModel = 0x1003;
// A 0x1003 model's descriptor from data/descriptors, embedded at build time.
const qz::test::Bytes kFrameDescriptor(
    std::begin(qz::embedded::kTransceiver1003), std::end(qz::embedded::kTransceiver1003));

void MeasureIdle(const char* probe)
{
    auto device = std::make_unique<qz::test::UhidDevice>(kFrameModel, kFrameDescriptor);
    auto watch = qz::test::ChildProcess::Start({probe, "watch", "--json"});
    if (!watch || !watch->ReadLine()) {
        std::printf("idle: the probe did not connect: %s\n", watch ? watch->Stderr().c_str() : "not started");
        return;
    }
    std::this_thread::sleep_for(1s);
    Usage before = UsageOf(watch->Pid());
    std::this_thread::sleep_for(60s);
    Usage after = UsageOf(watch->Pid());
    std::printf("idle, transceiver connected, 60 s: %lld us of CPU, %lld wake-ups\n",
        (after.cpuNs - before.cpuNs) / 1000, after.wakeUps - before.wakeUps);

    device.reset(); // unplugged: the probe looks for it every 300 ms
    watch->ReadLine();
    std::this_thread::sleep_for(1s);
    before = UsageOf(watch->Pid());
    std::this_thread::sleep_for(30s);
    after = UsageOf(watch->Pid());
    std::printf("no transceiver (a search every 300 ms), 30 s: %lld us of CPU, %lld wake-ups\n",
        (after.cpuNs - before.cpuNs) / 1000, after.wakeUps - before.wakeUps);
    watch->Signal(SIGINT);
    watch->Wait();
}

void MeasureDelay(int reports)
{
    qz::test::UhidDevice device(kFrameModel, kFrameDescriptor);
    int out[2];
    if (::pipe(out) != 0) {
        return;
    }
    const Clock::time_point origin = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        qz::HidrawLayer hid;
        qz::probe::Output output(stdout, stderr, qz::probe::Style(false));
        ::_exit(qz::probe::RunWatch({"", true}, hid, output, origin));
    }
    ::close(out[1]);
    FILE* lines = ::fdopen(out[0], "r");
    char buffer[512];
    if (std::fgets(buffer, sizeof buffer, lines) == nullptr) { // connected
        std::printf("delay: the watch loop did not connect\n");
        return;
    }

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> gapUs(1000, 20000);
    std::vector<double> delaysMs;
    for (int i = 0; i < reports; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
        const Clock::time_point sent = Clock::now();
        device.Send(qz::test::FrameData(1 + i % 250, qz::test::kA));
        if (std::fgets(buffer, sizeof buffer, lines) == nullptr) {
            break;
        }
        const double timeMs = nlohmann::json::parse(buffer)["time_ms"].get<double>();
        const double sentMs = std::chrono::duration<double, std::milli>(sent - origin).count();
        delaysMs.push_back(timeMs - sentMs);
    }
    ::kill(pid, SIGINT);
    ::waitpid(pid, nullptr, 0);
    std::fclose(lines);
    if (delaysMs.empty()) {
        std::printf("delay: no report came back\n");
        return;
    }
    std::printf("time_ms minus the moment the device sent the report, %zu reports: min %.3f ms, p50 %.3f ms, "
                "p99 %.3f ms, max %.3f ms\n",
        delaysMs.size(), Percentile(delaysMs, 0), Percentile(delaysMs, 50), Percentile(delaysMs, 99),
        Percentile(delaysMs, 100));
}

} // namespace

int main()
{
    const char* probe = qz::bench::ProbeFromEnvironment();
    if (probe == nullptr) {
        return 2;
    }
    MeasureDelay(1000);
    MeasureIdle(probe);
    return 0;
}
