// qz470-probe emulate --replay against a real kernel: how close the gaps
// between replayed reports, as a reader of the hidraw node sees them arrive,
// come to the gaps of the recording. Runs inside the qemu VM as the harness's
// test program, with the probe copied in beside it and named by QZ_PROBE (see
// docs/PERFORMANCE.md for the command).
//
// The recording is written with watch's own printer: 1000 reports of a 0x1003
// model at random gaps (a uniform 2 to 40 ms). The real program replays it;
// this program opens the node, so the replay starts, and takes the time of
// each report when poll() wakes for it. Beside it, the floor: how late the VM
// wakes a process that sleeps until a set time.
#include "decode/press_report.h"
#include "measure.h"
#include "probe/watch/watch_format.h"
#include "uhid_device.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using qz::bench::Percentile;

using Clock = std::chrono::steady_clock;

// Writes the recording; the recorded times in ms.
std::vector<double> WriteRecording(const std::string& path, int reports)
{
    qz::probe::WatchPrinter printer(true, qz::probe::Style(false));
    std::ofstream out(path);
    out << printer.Connected(0.02, "/dev/hidraw0", 0x1003) << "\n";
    std::mt19937 random(2024);
    std::uniform_real_distribution<double> gapMs(2.0, 40.0);
    std::vector<double> times;
    double timeMs = 500;
    for (int i = 0; i < reports; ++i) {
        const qz::ByteArray data = *qz::FrameReportData(1 + i % 250, qz::PressButton::A);
        qz::ByteArray buffer(data.size() + 2, 0);
        std::copy(data.begin(), data.end(), buffer.begin() + 1);
        out << printer.Report(qz::probe::DecodeReport(buffer, data.size() + 1, timeMs)) << "\n";
        times.push_back(std::round(timeMs * 1000.0) / 1000.0); // as watch prints it, to the microsecond
        timeMs += gapMs(random);
    }
    return times;
}

void Measure(const char* probe, int reports, double speed)
{
    const std::string path = "/tmp/recording.jsonl";
    const std::vector<double> recorded = WriteRecording(path, reports);
    char speedText[32];
    std::snprintf(speedText, sizeof speedText, "%g", speed);
    // The program's lines go nowhere: a pipe that nobody reads while the
    // reports arrive would hold it up.
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        ::execl(probe, probe, "emulate", "--replay", path.c_str(), "--speed", speedText, nullptr);
        ::_exit(127);
    }
    const std::string node = qz::test::WaitForHidrawNode(0x1003, std::chrono::seconds(20));
    const int fd = node.empty() ? -1 : ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (pid < 0 || fd < 0) {
        std::printf("speed %g: no transceiver to read\n", speed);
        return;
    }
    std::vector<double> arrived;
    std::uint8_t report[64];
    while (static_cast<int>(arrived.size()) < reports) {
        pollfd look {fd, POLLIN, 0};
        if (::poll(&look, 1, 20000) <= 0) {
            break;
        }
        const double woke = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
        while (::read(fd, report, sizeof report) > 0) {
            arrived.push_back(woke);
        }
        if ((look.revents & (POLLHUP | POLLERR)) != 0) {
            break;
        }
    }
    ::close(fd);
    ::waitpid(pid, nullptr, 0);
    if (arrived.size() < 2) {
        std::printf("speed %g: %zu reports arrived\n", speed, arrived.size());
        return;
    }
    // Each gap against the recorded one (divided by the speed); and, since
    // every report is due at its own time from one origin rather than after
    // the one before, how late each lies against that schedule (counted from
    // the report that came earliest against it): errors do not add up.
    std::vector<double> gapErrors;
    std::vector<double> offsets;
    for (std::size_t i = 0; i < arrived.size(); ++i) {
        offsets.push_back(arrived[i] - recorded[i] / speed);
        if (i > 0) {
            gapErrors.push_back(std::fabs((arrived[i] - arrived[i - 1]) - (recorded[i] - recorded[i - 1]) / speed));
        }
    }
    const double earliest = *std::min_element(offsets.begin(), offsets.end());
    for (double& offset : offsets) {
        offset -= earliest;
    }
    std::printf("speed %g, %zu reports over %.1f s: |replayed gap - recorded gap| p50 %.3f ms, p99 %.3f ms, "
                "max %.3f ms; late against the schedule p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
        speed, arrived.size(), (arrived.back() - arrived.front()) / 1000.0, Percentile(gapErrors, 50),
        Percentile(gapErrors, 99), Percentile(gapErrors, 100), Percentile(offsets, 50), Percentile(offsets, 99),
        Percentile(offsets, 100));
}

// The floor: how late this VM wakes a process that sleeps until a set time,
// with the same gaps as the replay at 4 times speed.
void MeasureWakeUps(int count)
{
    std::mt19937 random(2024);
    std::uniform_real_distribution<double> gapMs(0.5, 10.0);
    std::vector<double> lateMs;
    Clock::time_point due = Clock::now();
    for (int i = 0; i < count; ++i) {
        due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(gapMs(random)));
        std::this_thread::sleep_until(due);
        lateMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - due).count());
    }
    std::printf("floor: a sleep until a set time, %d times, wakes late by p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
        count, Percentile(lateMs, 50), Percentile(lateMs, 99), Percentile(lateMs, 100));
}

} // namespace

int main()
{
    const char* probe = qz::bench::ProbeFromEnvironment();
    if (probe == nullptr) {
        return 2;
    }
    MeasureWakeUps(1000);
    Measure(probe, 1000, 1.0);
    Measure(probe, 1000, 4.0);
    return 0;
}
