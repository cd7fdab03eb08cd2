// The real program tells the desktop why no press will ever show: one
// notification through a real dbus-daemon on a private session bus, to a
// notification service of the test's own that records every call. A missing
// transceiver gives one, a refused one gives one (and no "missing"). A
// transceiver that opens gives none, and neither does QZ470_NO_NOTIFY=1;
// without a session bus, without a notification service on it, or with one
// that never answers, the window comes up all the same. Beyond the
// notification, nothing but the line on standard error is said.
#include "x11_harness.h"

#include "session_bus.h"

#include <QTemporaryDir>
#include <QTest>
#include <QVariant>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace qz::test {
namespace {

using namespace std::chrono_literals;

const QString kNoTransceiverLine = QStringLiteral(
    "qz470-tester: no transceiver found (USB 0003:1001 or 0003:1003). Plug it in, then start qz470-tester again.");
const QString kNoPermissionLine = QStringLiteral(
    "qz470-tester: no permission to open the transceiver at /dev/hidraw0 (USB 0003:1003). Install the qz470-tester "
    "package, or copy its udev rule 60-qz470-tester.rules to /etc/udev/rules.d/; then replug the transceiver and "
    "start qz470-tester again.");
// The main window's Exit button, in logical pixels (twips / 15).
const QRect kExitButton(406, 520, 133, 59);
// A notification is sent within milliseconds of the window coming up; after
// this long without one, none is coming.
constexpr auto kSettle = 2s;

class Notifications : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The program gets a runtime folder of its own (private, as
        // mkdtemp makes it), so that the machine's per-user bus
        // ($XDG_RUNTIME_DIR/bus) plays no part.
        ASSERT_TRUE(runtime.isValid() && busDir.isValid());
    }

    enum class Service { Answers, Silent, None };
    // The bus and its recorder, in `directory`; skips the test without dbus-daemon.
    void StartBus(const QString& directory, Service service = Service::Answers)
    {
        std::string why;
        bus = PrivateSessionBus::Start(directory, why);
        if (!bus) {
            GTEST_SKIP() << why;
        }
        if (service != Service::None) {
            recorder = NotificationRecorder::Start(bus->Address(), why, service == Service::Answers);
            ASSERT_TRUE(recorder) << why;
        }
    }

    // Starts the program on the private bus (if any), with `extra` changes.
    std::unique_ptr<Tester> Start(const EmulatedTransceiver* device,
        std::function<void(QProcessEnvironment&)> extra = {}, QStringList through = {})
    {
        Launch launch;
        launch.through = std::move(through);
        launch.environment = [this, extra](QProcessEnvironment& environment) {
            environment.insert("XDG_RUNTIME_DIR", runtime.path());
            environment.remove("QZ470_NO_NOTIFY");
            if (bus) {
                environment.insert("DBUS_SESSION_BUS_ADDRESS", bus->Address());
            } else {
                environment.remove("DBUS_SESSION_BUS_ADDRESS");
            }
            if (extra) {
                extra(environment);
            }
        };
        return std::make_unique<Tester>(QStringLiteral(QZ_TESTER), device, launch);
    }

    // The notifications recorded once things have settled.
    std::vector<NotificationRecorder::Call> SettledCalls()
    {
        QTest::qWait(static_cast<int>(std::chrono::milliseconds(kSettle).count()));
        return recorder->Calls();
    }

    QTemporaryDir runtime;
    QTemporaryDir busDir;
    std::unique_ptr<PrivateSessionBus> bus;
    std::unique_ptr<NotificationRecorder> recorder;
};

int Count(const QString& output, const QString& line)
{
    return static_cast<int>(output.split('\n').count(line));
}

TEST_F(Notifications, NoTransceiverIsToldOnceWithTheLineOnStandardError)
{
    // The bus named in the environment, and the user's bus found in the
    // runtime folder when the environment names none.
    for (const bool named : {true, false}) {
        SCOPED_TRACE(named ? "DBUS_SESSION_BUS_ADDRESS" : "$XDG_RUNTIME_DIR/bus");
        StartBus(named ? busDir.path() : runtime.path());
        if (IsSkipped()) {
            return;
        }
        auto tester = Start(nullptr, [named](QProcessEnvironment& environment) {
            if (!named) {
                environment.remove("DBUS_SESSION_BUS_ADDRESS");
            }
        });
        ASSERT_FALSE(WaitForWindow("QZ470 Tester", 30s).isEmpty()) << tester->Output().toStdString();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder->Calls().empty(); }, 20000))
            << tester->Output().toStdString();

        const auto calls = SettledCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].member.toStdString(), "Notify");
        EXPECT_EQ(calls[0].appName.toStdString(), "QZ470 Tester");
        EXPECT_EQ(calls[0].appIcon.toStdString(), "qz470-tester");
        EXPECT_EQ(calls[0].replacesId, 0u);
        EXPECT_EQ(calls[0].hints.value("desktop-entry").toString().toStdString(), "qz470-tester");
        EXPECT_EQ(calls[0].summary.toStdString(), "No transceiver found");
        EXPECT_EQ(calls[0].body.toStdString(),
            "No transceiver found (USB 0003:1001 or 0003:1003). Plug it in, then start qz470-tester again.");
        EXPECT_EQ(Count(tester->Output(), kNoTransceiverLine), 1) << tester->Output().toStdString();
        recorder.reset();
        bus.reset();
    }
}

TEST_F(Notifications, ARefusedTransceiverIsToldOnceAsAPermissionProblem)
{
    StartBus(busDir.path());
    if (IsSkipped()) {
        return;
    }
    std::string why;
    auto device = EmulatedTransceiver::Create(why);
    if (!device) {
        GTEST_SKIP() << why;
    }
    // The node refuses the program as it refuses a user without the udev
    // rule. Root opens any node: it runs without that power.
    const std::string node = device->NodePath();
    ASSERT_EQ(chmod(node.c_str(), 0), 0);
    QStringList through;
    if (geteuid() == 0) {
        through = {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    }
    QStringList probe = through;
    probe.append({"sh", "-c", "exec 3<>\"$0\"", QString::fromStdString(node)});
    QProcess opener;
    opener.start(probe.front(), probe.mid(1));
    opener.waitForFinished(10000);
    if (opener.exitStatus() == QProcess::NormalExit && opener.exitCode() == 0) {
        GTEST_SKIP() << "cannot keep the program from opening the emulated node";
    }

    auto tester = Start(device.get(), {}, through);
    ASSERT_FALSE(WaitForWindow("QZ470 Tester", 30s).isEmpty()) << tester->Output().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder->Calls().empty(); }, 20000)) << tester->Output().toStdString();
    // The link may try the node again later; the desktop hears of it once.
    const auto calls = SettledCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].summary.toStdString(), "No permission to open the transceiver");
    EXPECT_EQ(calls[0].body.toStdString(),
        "No permission to open the transceiver at /dev/hidraw0 (USB 0003:1003). Install the qz470-tester package, "
        "or copy its udev rule 60-qz470-tester.rules to /etc/udev/rules.d/; then replug the transceiver and start "
        "qz470-tester again.");
    const QString output = tester->Output();
    EXPECT_EQ(Count(output, kNoPermissionLine), 1) << output.toStdString();
    EXPECT_EQ(Count(output, kNoTransceiverLine), 0) << output.toStdString();
}

// Each case ends with Exit, as a person ends the program: it ends as usual,
// whatever became of its connection to the bus.
TEST_F(Notifications, OtherwiseTheWindowComesUpAndNothingButTheLineIsSaid)
{
    std::string why;
    auto device = EmulatedTransceiver::Create(why);
    if (!device) {
        GTEST_SKIP() << why;
    }
    const struct {
        const char* what;
        bool withDevice;
        bool withBus;
        Service service;
        bool switchedOff; // QZ470_NO_NOTIFY=1
        std::size_t calls; // that the service sees
        QString line; // on standard error
    } cases[] = {
        {"a transceiver that opens", true, true, Service::Answers, false, 0, {}},
        {"QZ470_NO_NOTIFY=1", false, true, Service::Answers, true, 0, kNoTransceiverLine},
        {"no session bus", false, false, Service::None, false, 0, kNoTransceiverLine},
        {"a bus without a notification service", false, true, Service::None, false, 0, kNoTransceiverLine},
        {"a notification service that never answers", false, true, Service::Silent, false, 1, kNoTransceiverLine},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        recorder.reset();
        bus.reset();
        if (c.withBus) {
            StartBus(busDir.path(), c.service);
            if (IsSkipped()) {
                return;
            }
        }
        auto tester = Start(c.withDevice ? device.get() : nullptr, [&c](QProcessEnvironment& environment) {
            if (c.switchedOff) {
                environment.insert("QZ470_NO_NOTIFY", "1");
            }
        });
        const QString main = WaitForWindow("QZ470 Tester", 30s);
        ASSERT_FALSE(main.isEmpty()) << tester->Output().toStdString();
        // Past the time the program gives an answer, too.
        QTest::qWait(static_cast<int>(std::chrono::milliseconds(kSettle + 1s).count()));
        if (recorder) {
            EXPECT_EQ(recorder->Calls().size(), c.calls);
        }
        EXPECT_EQ(tester->Output().trimmed().toStdString(), c.line.toStdString());
        ClickAt(main, kExitButton.center());
        ASSERT_TRUE(tester->WaitForExit(15s)) << tester->Output().toStdString();
        EXPECT_EQ(tester->ExitCode(), 0) << tester->Output().toStdString();
    }
}

} // namespace
} // namespace qz::test
