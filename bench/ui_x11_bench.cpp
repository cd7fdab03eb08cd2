// The whole program on a real X server, measured from outside as a person
// would see it: start-up to the first painted main window, resident memory
// with both windows up, and the delay from a report becoming readable on the
// (emulated) transceiver to the new texts on the screen. Prints a table.
//
// With --led-order OTHER_TESTER it measures instead, for that build and this
// one side by side, the delay from a report becoming readable to the LED
// frame arriving at the transceiver, beside the report-to-screen delay.
//
// Uses Xorg with the dummy driver and two monitors when it can (root), else
// Xvfb with one screen (the audience window then exists hidden, as the
// program keeps it). Needs umockdev and xdotool.
#include "measure.h"
#include "x11_harness.h"

#include "reports.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <optional>
#include <random>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using qz::test::Difference;
using qz::test::EmulatedTransceiver;
using qz::test::GrabScreen;
using qz::test::RenderValueLabel;
using qz::test::Tester;

namespace {

using qz::bench::Percentile;

const QRect kPadLabel(390, 24, 390, 213);
const QRect kButtonLabel(390, 244, 390, 169);

void Summary(const char* what, const std::vector<double>& values)
{
    std::printf("%-44s n=%-4zu min %7.1f  median %7.1f  p90 %7.1f  p99 %7.1f  max %7.1f\n", what, values.size(),
        Percentile(values, 0), Percentile(values, 50), Percentile(values, 90), Percentile(values, 99),
        Percentile(values, 100));
}

// Resident and proportional set size of a process, in KiB.
std::pair<long, long> Memory(qint64 pid)
{
    long rss = -1;
    long pss = -1;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:")) {
                rss = line.mid(6).trimmed().split(' ').first().toLong();
            }
        }
    }
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (rollup.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : rollup.readAll().split('\n')) {
            if (line.startsWith("Pss:")) {
                pss = line.mid(4).trimmed().split(' ').first().toLong();
            }
        }
    }
    return {rss, pss};
}

// A few rows across a label's text, where the glyphs of different texts
// differ: cheap to fetch from the X server, so the detector itself adds
// little to what it measures.
struct Rows {
    QRect label;
    std::vector<QImage> expected;
};

Rows RowsOf(const QRect& label, const QImage& rendered)
{
    Rows rows {label, {}};
    for (int percent : {30, 40, 50, 60, 70}) {
        const int y = label.height() * percent / 100;
        rows.expected.push_back(rendered.copy(0, y, label.width(), 1));
    }
    return rows;
}

bool RowMatches(const Rows& rows, std::size_t index)
{
    static constexpr int kPercents[] = {30, 40, 50, 60, 70};
    const int y = rows.label.height() * kPercents[index] / 100;
    return GrabScreen(QRect(rows.label.x(), rows.label.y() + y, rows.label.width(), 1)) == rows.expected[index];
}

bool Matches(const Rows& rows)
{
    for (std::size_t index = 0; index < rows.expected.size(); ++index) {
        if (!RowMatches(rows, index)) {
            return false;
        }
    }
    return true;
}

// Polls the screen until every label shows its text; the time it took, or -1.
// Each look fetches one row of each label not yet seen and notes when that
// label first showed its text; the delay is the latest of those moments, so
// the time spent fetching the other labels' rows is not counted. The whole
// set of rows is then checked once, so a half-painted label never counts.
double MsUntilShown(const QElapsedTimer& since, const std::vector<Rows>& labels, std::chrono::milliseconds within)
{
    constexpr std::size_t kMiddleRow = 2;
    std::vector<double> seenAt(labels.size(), -1);
    const auto until = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < until) {
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (seenAt[i] < 0 && RowMatches(labels[i], kMiddleRow)) {
                seenAt[i] = static_cast<double>(since.nsecsElapsed()) / 1e6;
            }
        }
        if (std::all_of(seenAt.begin(), seenAt.end(), [](double t) { return t >= 0; })) {
            if (std::all_of(labels.begin(), labels.end(), Matches)) {
                return *std::max_element(seenAt.begin(), seenAt.end());
            }
            std::fill(seenAt.begin(), seenAt.end(), -1); // caught mid-paint: look again
        }
        // Leave the two cores to the program and the X server between looks.
        std::this_thread::sleep_for(500us);
    }
    return -1;
}

// The two presses sent in turn, so that each shows a change, and the rows
// of both labels that each must show.
struct TwoPresses {
    qz::ByteArray reports[2] = {qz::test::FrameData(7, qz::test::kBuzz), qz::test::FrameData(18, qz::test::kA)};
    std::vector<Rows> shows[2] = {
        {RowsOf(kPadLabel, RenderValueLabel(140.25, kPadLabel.size(), "7")),
            RowsOf(kButtonLabel, RenderValueLabel(110.25, kButtonLabel.size(), "BUZZ"))},
        {RowsOf(kPadLabel, RenderValueLabel(140.25, kPadLabel.size(), "18")),
            RowsOf(kButtonLabel, RenderValueLabel(110.25, kButtonLabel.size(), "A"))},
    };
};

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string LoadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one;
    std::string five;
    file >> one >> five;
    return one + " (1 min), " + five + " (5 min)";
}

// Waits, without the event loop, for an LED frame (report ID 0, then FA 08,
// nine bytes in all) at the device's end of the node; the moment its last
// byte arrived, or nullopt.
std::optional<Clock::time_point> AwaitLedFrame(int deviceEnd, std::chrono::milliseconds within)
{
    const Clock::time_point until = Clock::now() + within;
    std::vector<std::uint8_t> frame;
    while (frame.size() < 9) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd look {deviceEnd, POLLIN, 0};
        if (left <= 0 || poll(&look, 1, static_cast<int>(left)) != 1) {
            return std::nullopt;
        }
        std::uint8_t buffer[9];
        const ssize_t n = read(deviceEnd, buffer, 9 - frame.size());
        if (n <= 0) {
            return std::nullopt;
        }
        frame.insert(frame.end(), buffer, buffer + n);
    }
    const Clock::time_point arrived = Clock::now();
    if (frame[0] != 0x00 || frame[1] != 0xFA || frame[2] != 0x08) {
        return std::nullopt;
    }
    return arrived;
}

void MeanSummary(const char* what, const std::vector<double>& values)
{
    const double mean = values.empty() ? -1 : std::accumulate(values.begin(), values.end(), 0.0) / values.size();
    std::printf("%-46s n=%-4zu mean %7.2f  median %7.2f  p90 %7.2f  p99 %7.2f  max %7.2f\n", what, values.size(), mean,
        Percentile(values, 50), Percentile(values, 90), Percentile(values, 99), Percentile(values, 100));
}

// Press to LED frame, and report to screen beside it, for two builds of the
// program with "Turn on LED lights" ticked: blocks of presses on each in turn
// (one, two, two, one, ...), so that the machine's load falls on both alike.
// Each report is sent at a random phase against the 30 ms poll. Presses take
// turns at being timed to the LED frame (once the blank is seen, the harness
// waits on the node alone) and to the new texts (it looks at the screen
// alone), so that neither measurement takes the processor from the other's.
// Both are also timed from the blank on the screen, which leaves out the wait
// for the poll tick and with it most of the spread.
int CompareLedOrder(const QString (&programs)[2], int presses, qz::test::EmulatedTransceiver& device)
{
    static constexpr const char* kNames[2] = {"--led-order build", "this build"};
    constexpr int kBlocks = 4;
    const TwoPresses two;
    const QImage blankPad = RenderValueLabel(140.25, kPadLabel.size(), QString());
    const int node = open(device.NodePath().c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int deviceEnd = device.DeviceEnd();
    if (node < 0 || deviceEnd < 0) {
        qz::test::Skip("cannot watch the emulated node " + device.NodePath());
    }
    const std::vector<Rows> blank
        = {RowsOf(kPadLabel, blankPad), RowsOf(kButtonLabel, RenderValueLabel(110.25, kButtonLabel.size(), QString()))};
    std::vector<double> led[2];
    std::vector<double> screen[2];
    std::vector<double> blankToLed[2];
    std::vector<double> blankToScreen[2];
    std::mt19937 random(470);
    std::uniform_int_distribution<int> phase(0, 29);
    std::printf("load average at the start: %s\n", LoadAverage().c_str());
    for (int block = 0; block < kBlocks; ++block) {
        for (int turn = 0; turn < 2; ++turn) {
            const int which = block % 2 == 0 ? turn : 1 - turn;
            // The previous program's window must be gone from the screen first.
            (void)QTest::qWaitFor([&] { return Difference(GrabScreen(kPadLabel), blankPad) > 0.5; }, 5000);
            Tester tester(programs[which], &device);
            if (!QTest::qWaitFor([&] { return Difference(GrabScreen(kPadLabel), blankPad) < 0.002; }, 20000)) {
                std::printf("%s did not come up:\n%s\n", kNames[which], qPrintable(tester.Output()));
                return 1;
            }
            qz::test::ClickAt(qz::test::WaitForWindow("QZ470 Tester", 10s), QPoint(240, 504)); // the LED box
            std::this_thread::sleep_for(200ms);
            for (int press = 0; press < 2 * presses / kBlocks; ++press) {
                const int shown = press % 2;
                const bool timeLed = press % 4 >= 2;
                std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
                QElapsedTimer clock;
                clock.start();
                Clock::time_point readable = Clock::now();
                device.Send(two.reports[shown]);
                // From the moment the report is readable on the node, as for the figures above.
                if (pollfd look {node, POLLIN, 0}; poll(&look, 1, 20) == 1 && (look.revents & POLLIN) != 0) {
                    clock.restart();
                    readable = Clock::now();
                }
                const double blanked = MsUntilShown(clock, blank, 1s);
                if (timeLed) {
                    const std::optional<Clock::time_point> lit = AwaitLedFrame(deviceEnd, 2s);
                    if (lit && blanked >= 0) {
                        led[which].push_back(MsBetween(readable, *lit));
                        blankToLed[which].push_back(led[which].back() - blanked);
                    }
                    (void)MsUntilShown(clock, two.shows[shown], 5s); // the press is over once painted
                } else {
                    if (const double ms = MsUntilShown(clock, two.shows[shown], 5s); ms >= 0 && blanked >= 0) {
                        screen[which].push_back(ms);
                        blankToScreen[which].push_back(ms - blanked);
                    }
                    (void)AwaitLedFrame(deviceEnd, 2s); // taken, so that the next press waits for its own
                }
            }
        }
    }
    std::printf("load average at the end: %s\n", LoadAverage().c_str());
    for (int which = 0; which < 2; ++which) {
        std::printf("%s: %s\n", kNames[which], qPrintable(programs[which]));
        MeanSummary("  report readable to LED frame (ms)", led[which]);
        MeanSummary("  report readable to new texts painted (ms)", screen[which]);
        MeanSummary("  blank seen to LED frame (ms)", blankToLed[which]);
        MeanSummary("  blank seen to new texts painted (ms)", blankToScreen[which]);
    }
    close(node);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int startRuns = 15;
    int presses = 200;
    QString ledOrder;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--starts") {
            startRuns = std::atoi(argv[++i]);
        } else if (std::string(argv[i]) == "--presses") {
            presses = std::atoi(argv[++i]);
        } else if (std::string(argv[i]) == "--led-order") {
            ledOrder = QString::fromLocal8Bit(argv[++i]);
        }
    }
    std::string why;
    auto server = qz::test::XServer::StartXorgTwoMonitors(why);
    const bool twoMonitors = server != nullptr;
    if (!server) {
        std::printf("(two monitors unavailable: %s; using Xvfb)\n", why.c_str());
        server = qz::test::XServer::StartXvfb(1920, 1080, why);
    }
    if (!server) {
        qz::test::Skip(why);
    }
    qputenv("DISPLAY", QByteArray::fromStdString(server->Display()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);

    auto device = EmulatedTransceiver::Create(why);
    if (!device) {
        qz::test::Skip(why);
    }
    const QImage blankPad = RenderValueLabel(140.25, kPadLabel.size(), QString());
    std::printf(
        "X server: %s, %s\n", server->Display().c_str(), twoMonitors ? "Xorg dummy, two monitors" : "Xvfb, one screen");
    if (!ledOrder.isEmpty()) {
        const QString programs[2] = {ledOrder, QStringLiteral(QZ_TESTER)};
        return CompareLedOrder(programs, presses, *device);
    }

    // 1. Start-up: from starting the process to the main window painted (its
    //    empty pad label on the screen).
    std::vector<double> starts;
    for (int run = 0; run < startRuns; ++run) {
        // The previous window must be gone from the screen first.
        (void)QTest::qWaitFor([&] { return Difference(GrabScreen(kPadLabel), blankPad) > 0.5; }, 5000);
        QElapsedTimer clock;
        clock.start();
        Tester tester(QStringLiteral(QZ_TESTER), device.get());
        const double ms = MsUntilShown(clock, {RowsOf(kPadLabel, blankPad)}, 20s);
        if (ms >= 0) {
            starts.push_back(ms);
        }
    }

    // 2 and 3. One program for memory and the press delay.
    Tester tester(QStringLiteral(QZ_TESTER), device.get());
    if (!QTest::qWaitFor([&] { return Difference(GrabScreen(kPadLabel), blankPad) < 0.002; }, 20000)) {
        std::printf("the program did not come up:\n%s\n", qPrintable(tester.Output()));
        return 1;
    }
    const TwoPresses two;
    const int node = open(device->NodePath().c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (node < 0) {
        qz::test::Skip("cannot watch the emulated node " + device->NodePath());
    }
    std::mt19937 random(470);
    std::uniform_int_distribution<int> phase(0, 29);
    std::vector<double> delays;
    std::vector<double> tickedDelays;
    const QString main = qz::test::WaitForWindow("QZ470 Tester", 10s);
    for (int press = 0; press < 2 * presses; ++press) {
        if (press == presses) {
            // The same again with "Enable Keypress Events" and "Turn on LED lights" ticked.
            qz::test::ClickAt(main, QPoint(240, 472));
            qz::test::ClickAt(main, QPoint(240, 504));
            std::this_thread::sleep_for(200ms);
        }
        std::vector<double>& into = press < presses ? delays : tickedDelays;
        const int which = press % 2;
        // Reports arrive at any moment of the 30 ms poll period.
        std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
        QElapsedTimer clock;
        clock.start();
        device->Send(two.reports[which]);
        // Time from the moment the report is readable on the node: the PTY
        // that stands in for it hands bytes over a moment after the write,
        // which real hidraw does not. (When the program takes the report
        // first, the write time stands.)
        if (pollfd look {node, POLLIN, 0}; poll(&look, 1, 20) == 1 && (look.revents & POLLIN) != 0) {
            clock.restart();
        }
        const double ms = MsUntilShown(clock, two.shows[which], 5s);
        if (ms >= 0) {
            into.push_back(ms);
        }
        // Take the LED frame, and let the typing finish before the next report.
        if (press >= presses) {
            device->Receive(9, 500ms);
            std::this_thread::sleep_for(150ms);
        }
        if (press == 0) {
            const auto [rss, pss] = Memory(tester.Pid());
            std::printf("memory with both windows up (%s): VmRSS %ld KiB, PSS %ld KiB\n",
                twoMonitors ? "audience window shown" : "audience window hidden", rss, pss);
        }
    }
    Summary("start-up to first painted main window (ms)", starts);
    Summary("report readable to new texts painted (ms)", delays);
    Summary("  the same with keystrokes and LED on (ms)", tickedDelays);
    std::printf("presses measured: %zu and %zu of %d each\n", delays.size(), tickedDelays.size(), presses);
    return 0;
}
