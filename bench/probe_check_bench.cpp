// qz470-probe's rounds and check against a real kernel's hidraw, with a
// transceiver made through /dev/uhid; runs inside the qemu VM as the
// harness's test program, with the probe copied in beside it and named by
// QZ_PROBE, and the terminal descriptions (see docs/PERFORMANCE.md for the
// command).
//
// 1. Rounds: pairs of presses sent a known gap apart (0.1 to 5 ms), each
//    pair a round of the real `watch --json` closed by SIGUSR1: how far the
//    second press's delay_ms lies from the gap between the two sends, how
//    often both were read in one wake-up (delay 0), and how often the
//    ranking's order differs from the order sent.
// 2. Check: the real `check --pads 260` on a pseudo-terminal of 80 x 24: its
//    processor time and wake-ups over 30 s with an idle transceiver, then
//    per report while 260 pads report one after another, and the bytes it
//    writes to the terminal per report.
#include "child_process.h"
#include "measure.h"
#include "probe_check_bench_descriptors.h"
#include "reports.h"
#include "uhid_device.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
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
const qz::test::Bytes kFrameDescriptor(
    std::begin(qz::embedded::kTransceiver1003), std::end(qz::embedded::kTransceiver1003));

void MeasureRounds(const char* probe, int pairs)
{
    qz::test::UhidDevice device(kFrameModel, kFrameDescriptor);
    auto watch = qz::test::ChildProcess::Start({probe, "watch", "--json"});
    if (!watch || !watch->ReadLine()) {
        std::printf("rounds: the probe did not connect\n");
        return;
    }
    std::mt19937 random(4711);
    std::uniform_int_distribution<int> gapUs(100, 5000);
    std::vector<double> errorsMs;
    std::vector<double> togetherGapsMs;
    int reversed = 0;
    int together = 0;
    for (int i = 0; i < pairs; ++i) {
        const auto gap = std::chrono::microseconds(gapUs(random));
        const Clock::time_point first = Clock::now();
        device.Send(qz::test::FrameData(11, qz::test::kBuzz));
        // Asleep, so that the probe has the VM's one processor meanwhile;
        // the gap that counts is the one measured.
        std::this_thread::sleep_until(first + gap);
        const Clock::time_point second = Clock::now();
        device.Send(qz::test::FrameData(22, qz::test::kBuzz));
        watch->ReadLine();
        watch->ReadLine();
        watch->Signal(SIGUSR1);
        const auto line = watch->ReadLine();
        if (!line) {
            break;
        }
        const nlohmann::json ranking = nlohmann::json::parse(*line)["ranking"];
        if (ranking.size() != 2) {
            continue;
        }
        reversed += ranking[0]["pad"] != 11 ? 1 : 0;
        const double delay = ranking[1]["delay_ms"].get<double>();
        const double gapMs = std::chrono::duration<double, std::milli>(second - first).count();
        if (delay == 0.0) {
            ++together; // read in one wake-up: the order is the queue's, the delay says nothing
            togetherGapsMs.push_back(gapMs);
        } else {
            errorsMs.push_back(std::abs(delay - gapMs));
        }
        std::this_thread::sleep_for(20ms);
    }
    watch->Signal(SIGINT);
    watch->Wait();
    if (errorsMs.empty()) {
        std::printf("rounds: no round read in two wake-ups came back\n");
        return;
    }
    std::printf("rounds of two presses 0.1 to 5 ms apart, %d rounds: order reversed %d times\n", pairs, reversed);
    std::printf("  read in two wake-ups, %zu rounds: |delay_ms - gap| p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, "
                "max %.3f ms\n",
        errorsMs.size(), Percentile(errorsMs, 50), Percentile(errorsMs, 90), Percentile(errorsMs, 99),
        Percentile(errorsMs, 100));
    if (!togetherGapsMs.empty()) {
        std::printf("  read in one wake-up (delay 0), %d rounds: their gaps p50 %.3f ms, max %.3f ms\n", together,
            Percentile(togetherGapsMs, 50), Percentile(togetherGapsMs, 100));
    }
}

// A devpts of the VM's own, for the pseudo-terminal.
bool PseudoTerminals()
{
    ::mkdir("/dev/pts", 0755);
    ::mount("devpts", "/dev/pts", "devpts", 0, "ptmxmode=0666");
    return ::access("/dev/ptmx", F_OK) == 0;
}

void MeasureCheck(const char* probe)
{
    if (!PseudoTerminals()) {
        std::printf("check: no pseudo-terminals\n");
        return;
    }
    auto device = std::make_unique<qz::test::UhidDevice>(kFrameModel, kFrameDescriptor);
    winsize size {};
    size.ws_row = 24;
    size.ws_col = 80;
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        ::setenv("TERM", "xterm", 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1); // the table at the end
        ::execl(probe, probe, "check", "--pads", "260", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // The terminal's side: everything the probe draws, counted.
    std::atomic<long long> drawn {0};
    std::thread reader([master, &drawn]() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            drawn += n;
        }
    });

    std::this_thread::sleep_for(2s);
    Usage before = UsageOf(pid);
    std::this_thread::sleep_for(30s);
    Usage after = UsageOf(pid);
    std::printf("check, idle, transceiver connected, 30 s: %lld us of CPU, %lld wake-ups\n",
        (after.cpuNs - before.cpuNs) / 1000, after.wakeUps - before.wakeUps);

    std::mt19937 random(815);
    std::uniform_int_distribution<int> gapUs(5000, 20000);
    const qz::test::FrameKey keys[] = {qz::test::kA, qz::test::kB, qz::test::kC, qz::test::kD, qz::test::kBuzz};
    const long long drawnBefore = drawn;
    before = UsageOf(pid);
    for (int pad = 1; pad <= 260; ++pad) {
        device->Send(qz::test::FrameData(pad, keys[pad % 5]));
        std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
    }
    std::this_thread::sleep_for(1s);
    after = UsageOf(pid);
    std::printf("check, 260 pads reporting 5 to 20 ms apart: %.1f us of CPU and %.0f bytes to the terminal per "
                "report, %lld wake-ups\n",
        static_cast<double>(after.cpuNs - before.cpuNs) / 1000.0 / 260.0,
        static_cast<double>(drawn - drawnBefore) / 260.0, after.wakeUps - before.wakeUps);

    if (::write(master, "q", 1) != 1) {
        ::kill(pid, SIGTERM);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    reader.join();
    std::printf("check ended with status %d (0: every pad seen)\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

} // namespace

int main()
{
    const char* probe = qz::bench::ProbeFromEnvironment();
    if (probe == nullptr) {
        return 2;
    }
    MeasureRounds(probe, 300);
    MeasureCheck(probe);
    return 0;
}
