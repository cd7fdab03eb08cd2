// The whole program on a real X server, measured from outside as a person
// would see it: start-up to the first painted main window, resident memory
// with both windows up, and the delay from a report becoming readable on the
// (emulated) transceiver to the new texts on the screen. Prints a table.
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

} // namespace

int main(int argc, char** argv)
{
    int startRuns = 15;
    int presses = 200;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--starts") {
            startRuns = std::atoi(argv[++i]);
        } else if (std::string(argv[i]) == "--presses") {
            presses = std::atoi(argv[++i]);
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
    const qz::ByteArray kReports[2] = {qz::test::FrameData(7, qz::test::kBuzz), qz::test::FrameData(18, qz::test::kA)};
    const std::vector<Rows> shows[2] = {
        {RowsOf(kPadLabel, RenderValueLabel(140.25, kPadLabel.size(), "7")),
            RowsOf(kButtonLabel, RenderValueLabel(110.25, kButtonLabel.size(), "BUZZ"))},
        {RowsOf(kPadLabel, RenderValueLabel(140.25, kPadLabel.size(), "18")),
            RowsOf(kButtonLabel, RenderValueLabel(110.25, kButtonLabel.size(), "A"))},
    };
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
        device->Send(kReports[which]);
        // Time from the moment the report is readable on the node: the PTY
        // that stands in for it hands bytes over a moment after the write,
        // which real hidraw does not. (When the program takes the report
        // first, the write time stands.)
        if (pollfd look {node, POLLIN, 0}; poll(&look, 1, 20) == 1 && (look.revents & POLLIN) != 0) {
            clock.restart();
        }
        const double ms = MsUntilShown(clock, shows[which], 5s);
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
