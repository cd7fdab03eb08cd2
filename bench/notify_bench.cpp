// Start-up of the real program without a transceiver, by what the desktop
// offers for its notification: no session bus; notifications switched off; a
// bus without a notification service; a service that never answers; a
// service that answers. Each start is timed from the process start to the
// main window painted on the screen (its empty pad label), the conditions
// taking turns; for the answering service also to the notification's arrival.
// Prints a table. Needs Xvfb, xdotool, umockdev's harness and dbus-daemon.
#include "measure.h"
#include "session_bus.h"
#include "x11_harness.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using qz::test::Difference;
using qz::test::GrabScreen;
using qz::test::NotificationRecorder;
using qz::test::PrivateSessionBus;
using qz::test::RenderValueLabel;
using qz::test::Tester;

namespace {

using qz::bench::Percentile;

const QRect kPadLabel(390, 24, 390, 213);

void Summary(const std::string& what, const std::vector<double>& values)
{
    std::printf("%-58s n=%-3zu min %6.1f  median %6.1f  p90 %6.1f  max %6.1f\n", what.c_str(), values.size(),
        Percentile(values, 0), Percentile(values, 50), Percentile(values, 90), Percentile(values, 100));
}

struct Condition {
    std::string what;
    const PrivateSessionBus* bus; // none: no session bus at all
    bool off; // QZ470_NO_NOTIFY=1
    const NotificationRecorder* timed; // the service whose calls are timed, if any
    std::vector<double> painted;
    std::vector<double> notified;
};

std::unique_ptr<PrivateSessionBus> StartBus(const QTemporaryDir& dir)
{
    std::string why;
    auto bus = PrivateSessionBus::Start(dir.path(), why);
    if (!bus) {
        qz::test::Skip(why);
    }
    return bus;
}

std::unique_ptr<NotificationRecorder> StartService(const PrivateSessionBus& bus, bool answers)
{
    std::string why;
    auto service = NotificationRecorder::Start(bus.Address(), why, answers);
    if (!service) {
        qz::test::Skip(why);
    }
    return service;
}

} // namespace

int main(int argc, char** argv)
{
    int starts = 10;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--starts") {
            starts = std::atoi(argv[++i]);
        }
    }
    std::string why;
    auto server = qz::test::XServer::StartXvfb(1280, 1024, why);
    if (!server) {
        qz::test::Skip(why);
    }
    qputenv("DISPLAY", QByteArray::fromStdString(server->Display()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);

    QTemporaryDir runtime, emptyDir, silentDir, answeringDir;
    const auto emptyBus = StartBus(emptyDir);
    const auto silentBus = StartBus(silentDir);
    const auto silent = StartService(*silentBus, false);
    const auto answeringBus = StartBus(answeringDir);
    const auto answering = StartService(*answeringBus, true);

    std::vector<Condition> conditions = {
        {"no session bus", nullptr, false, nullptr, {}, {}},
        {"QZ470_NO_NOTIFY=1 (bus and answering service)", answeringBus.get(), true, nullptr, {}, {}},
        {"bus without a notification service", emptyBus.get(), false, nullptr, {}, {}},
        {"notification service that never answers", silentBus.get(), false, nullptr, {}, {}},
        {"answering notification service", answeringBus.get(), false, answering.get(), {}, {}},
    };
    const QImage blankPad = RenderValueLabel(140.25, kPadLabel.size(), QString());
    for (int run = 0; run < starts; ++run) {
        for (Condition& c : conditions) {
            // The previous window must be gone from the screen first.
            // Measured all the same if it lingers: that start then counts slower.
            static_cast<void>(QTest::qWaitFor([&] { return Difference(GrabScreen(kPadLabel), blankPad) > 0.5; }, 5000));
            qz::test::Launch launch;
            launch.environment = [&](QProcessEnvironment& environment) {
                environment.insert("XDG_RUNTIME_DIR", runtime.path());
                environment.remove("QZ470_NO_NOTIFY");
                environment.remove("DBUS_SESSION_BUS_ADDRESS");
                if (c.bus != nullptr) {
                    environment.insert("DBUS_SESSION_BUS_ADDRESS", c.bus->Address());
                }
                if (c.off) {
                    environment.insert("QZ470_NO_NOTIFY", "1");
                }
            };
            const std::size_t callsBefore = c.timed != nullptr ? c.timed->Calls().size() : 0;
            QElapsedTimer clock;
            clock.start();
            Tester tester(QStringLiteral(QZ_TESTER), nullptr, launch);
            double painted = -1;
            double notified = -1;
            const auto until = std::chrono::steady_clock::now() + 20s;
            while (std::chrono::steady_clock::now() < until && (painted < 0 || (c.timed != nullptr && notified < 0))) {
                QCoreApplication::processEvents(QEventLoop::AllEvents);
                const double now = static_cast<double>(clock.nsecsElapsed()) / 1e6;
                if (painted < 0 && Difference(GrabScreen(kPadLabel), blankPad) < 0.002) {
                    painted = now;
                }
                if (c.timed != nullptr && notified < 0 && c.timed->Calls().size() > callsBefore) {
                    notified = now;
                }
                std::this_thread::sleep_for(500us);
            }
            if (painted >= 0) {
                c.painted.push_back(painted);
            }
            if (notified >= 0) {
                c.notified.push_back(notified);
            }
        }
    }
    std::printf("start-up without a transceiver, process start to the main window painted (ms), Xvfb:\n");
    for (const Condition& c : conditions) {
        Summary(c.what, c.painted);
    }
    Summary("answering service: process start to the Notify call (ms)", conditions.back().notified);
    return 0;
}
