// Cost and delay of polling the transceiver on Qt's event loop, against a
// transceiver emulated by umockdev (run under umockdev-wrapper).
//
//   umockdev-wrapper link_bench [--seconds S] [--reports N]
//
// 1. CPU time of the UI thread while an idle transceiver is polled every
//    30 ms, side by side with an empty 30 ms Qt timer (the floor of any
//    polling on Qt's event loop). The two alternate in six slices each, so
//    that the machine's background load falls on both alike.
// 2. Delay from a report becoming readable on the node to OnButtonPressed,
//    over N reports written at random moments against the poll phase.
// 3. CPU time while the transceiver is unplugged and looked for every 300 ms,
//    beside the empty timer again (three slices each).
#include "link/hidraw/hidraw_layer.h"
#include "link/transceiver.h"
#include "timer/qt/qt_timer_layer.h"

#include "reports.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <umockdev.h>

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// A framed-report transceiver: 8 data bytes each way, no report IDs.
const std::uint8_t kDescriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x95, 0x08, 0x09, 0x01, 0x91, 0x02, 0xC0};
// Pad 5, A, as it travels on the wire.
const qz::ByteArray kReport = qz::test::FrameData(5, qz::test::kA);

double ThreadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs the event loop for `ms` and returns the UI thread's CPU seconds.
double RunLoopFor(int ms)
{
    const double start = ThreadCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    QTimer stop;
    QEventLoop loop;
    stop.setSingleShot(true);
    QObject::connect(&stop, &QTimer::timeout, &loop, &QEventLoop::quit);
    stop.start(ms);
    loop.exec();
    return ThreadCpuSeconds() - start;
}

struct Emulated {
    std::string hidSysPath;
    std::string hidrawSysPath;
    std::string node;
};

// Adds a 0x1003 transceiver at hidraw<index>; udev enumerates by sysfs path.
bool AddTransceiver(UMockdevTestbed* bed, int index, Emulated& out)
{
    const std::string n = std::to_string(index);
    out.hidSysPath = "/sys/devices/pci0000:00/usb1/1-" + n + "/1-" + n + ":1.0/0003:0003:1003." + n;
    out.hidrawSysPath = out.hidSysPath + "/hidraw/hidraw" + n;
    out.node = "/dev/hidraw" + n;
    const std::string records = "P: " + out.hidrawSysPath.substr(4) + "\nN: hidraw" + n + "\nE: DEVNAME=" + out.node
        + "\nE: SUBSYSTEM=hidraw\n\nP: " + out.hidSysPath.substr(4)
        + "\nE: SUBSYSTEM=hid\nE: HID_ID=0003:00000003:00001003\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed, records.c_str(), &error)) {
        return false;
    }
    std::vector<std::uint8_t> descriptor(std::begin(kDescriptor), std::end(kDescriptor));
    umockdev_testbed_set_attribute_binary(
        bed, out.hidSysPath.c_str(), "report_descriptor", descriptor.data(), static_cast<gssize>(descriptor.size()));
    return true;
}

// Unplug: the device leaves sysfs and /dev, and its node hangs up.
void Unplug(UMockdevTestbed* bed, const Emulated& device)
{
    const int master = umockdev_testbed_get_dev_fd(bed, device.node.c_str());
    umockdev_testbed_remove_device(bed, device.hidrawSysPath.c_str());
    umockdev_testbed_remove_device(bed, device.hidSysPath.c_str());
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ::dup2(null, master); // the test bed still owns the descriptor number
    ::close(null);
    gchar* root = umockdev_testbed_get_root_dir(bed);
    ::unlink((std::string(root) + device.node).c_str());
    g_free(root);
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    int reports = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--reports") == 0) {
            reports = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "umockdev") == nullptr) {
        std::fprintf(stderr, "link_bench: run it under umockdev-wrapper (it emulates the transceiver)\n");
        return 77;
    }

    QCoreApplication app(argc, argv);
    UMockdevTestbed* bed = umockdev_testbed_new();
    Emulated first;
    if (!AddTransceiver(bed, 0, first)) {
        std::fprintf(stderr, "link_bench: umockdev refused the device\n");
        return 77;
    }
    const int master = umockdev_testbed_get_dev_fd(bed, first.node.c_str());

    qz::HidrawLayer hid;
    qz::QtTimerLayer timers;

    // 1. Idle polling against the empty timer, in alternating slices.
    const int slices = 6;
    const int sliceMs = seconds * 1000 / slices;
    double emptyCpu = 0;
    double pollCpu = 0;
    for (int i = 0; i < slices; ++i) {
        {
            QTimer empty;
            empty.setTimerType(Qt::PreciseTimer);
            QObject::connect(&empty, &QTimer::timeout, [] {});
            empty.start(30);
            emptyCpu += RunLoopFor(sliceMs);
        }
        {
            qz::Transceiver dev(hid, timers);
            if (!dev.Ready()) {
                std::fprintf(stderr, "link_bench: the emulated transceiver was not found\n");
                return 1;
            }
            pollCpu += RunLoopFor(sliceMs);
        }
    }
    const double wall = slices * sliceMs / 1000.0;
    std::printf("idle CPU over %.0f s each (UI thread, %% of one core):\n", wall);
    std::printf("  empty 30 ms Qt timer     %.3f %%\n", 100.0 * emptyCpu / wall);
    std::printf("  polling the transceiver  %.3f %%\n", 100.0 * pollCpu / wall);
    std::printf("  ratio                    %.2f\n", pollCpu / emptyCpu);

    // 2. Report to OnButtonPressed.
    using Clock = std::chrono::steady_clock;
    std::vector<double> delaysMs;
    delaysMs.reserve(static_cast<std::size_t>(reports));
    std::atomic<Clock::time_point::rep> writtenAt {0};
    std::atomic<int> announced {0};
    qz::Transceiver dev(hid, timers);
    dev.SetButtonPressedHandler([&](qz::TransceiverData&) {
        const auto now = Clock::now().time_since_epoch().count();
        delaysMs.push_back(static_cast<double>(now - writtenAt.load()) / 1e6);
        announced.fetch_add(1);
    });
    std::thread writer([&] {
        // A second reader on the node, only to see when the report becomes
        // readable (the PTY hands bytes over a moment after the write).
        const int watch = ::open("/dev/hidraw0", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        std::mt19937 random(12345);
        // Uniform over two whole poll intervals: the write lands at a random phase of the tick.
        std::uniform_int_distribution<int> pauseUs(0, 59999);
        for (int i = 0; i < reports; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
            auto before = Clock::now().time_since_epoch().count();
            writtenAt.store(before);
            if (::write(master, kReport.data(), kReport.size()) != static_cast<ssize_t>(kReport.size())) {
                break;
            }
            pollfd look {watch, POLLIN, 0};
            if (watch >= 0 && ::poll(&look, 1, 5) == 1) {
                // Readable now, unless the poll step took the report first.
                writtenAt.compare_exchange_strong(before, Clock::now().time_since_epoch().count());
            }
            while (announced.load() <= i) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        if (watch >= 0) {
            ::close(watch);
        }
    });
    while (announced.load() < reports) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    writer.join();
    std::sort(delaysMs.begin(), delaysMs.end());
    const double mean = std::accumulate(delaysMs.begin(), delaysMs.end(), 0.0) / static_cast<double>(reports);
    const auto at = [&](double q) { return delaysMs[static_cast<std::size_t>(q * (delaysMs.size() - 1))]; };
    std::printf("report to OnButtonPressed over %d reports (ms):\n", reports);
    std::printf("  mean %.2f  median %.2f  p99 %.2f  max %.2f\n", mean, at(0.5), at(0.99), delaysMs.back());
    const auto over
        = [&](double ms) { return delaysMs.end() - std::upper_bound(delaysMs.begin(), delaysMs.end(), ms); };
    std::printf("  over 30 ms: %td  over 31 ms: %td\n", over(30.0), over(31.0));

    // 3. An unplugged transceiver: the poll step searches every tenth tick.
    Unplug(bed, first);
    double emptyLostCpu = 0;
    double lostCpu = 0;
    const int lostSlices = 3;
    for (int i = 0; i < lostSlices; ++i) {
        {
            QTimer empty;
            empty.setTimerType(Qt::PreciseTimer);
            QObject::connect(&empty, &QTimer::timeout, [] {});
            empty.start(30);
            emptyLostCpu += RunLoopFor(sliceMs);
        }
        Emulated device;
        if (!AddTransceiver(bed, 1 + i, device)) {
            std::fprintf(stderr, "link_bench: umockdev refused the device\n");
            return 1;
        }
        qz::Transceiver lost(hid, timers);
        Unplug(bed, device);
        while (lost.Connected()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        lostCpu += RunLoopFor(sliceMs);
    }
    const double lostWall = lostSlices * sliceMs / 1000.0;
    std::printf("unplugged, searching every 300 ms, over %.0f s each (UI thread, %% of one core):\n", lostWall);
    std::printf("  empty 30 ms Qt timer     %.3f %%\n", 100.0 * emptyLostCpu / lostWall);
    std::printf("  unplugged transceiver    %.3f %%\n", 100.0 * lostCpu / lostWall);
    std::printf("  ratio                    %.2f\n", lostCpu / emptyLostCpu);

    g_object_unref(bed);
    return 0;
}
