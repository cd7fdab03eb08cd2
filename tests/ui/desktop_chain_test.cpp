// The whole chain on real compositors, as on a GNOME or KDE Wayland session:
// the compositor headless with its Xwayland, wev as the native window that
// has the keyboard focus, the real xdg-desktop-portal frontend with a backend
// of ours that answers by asking the compositor's own API for its EIS server
// (mutter's org.gnome.Mutter.RemoteDesktop, KWin's connectToEIS), and the
// real program on Xwayland with an emulated transceiver. "Enable Keypress
// Events" is ticked from the keyboard (Tab, Tab, Space: clicks through XTest
// do not reach an X window under mutter), then wev starts and takes the
// focus; pad 7's BUZZ must reach it as exactly "7BUZZ". On KWin, a second
// press follows a switch from the US to the German layout through KWin's
// keyboard layouts D-Bus interface, and must arrive as "7BUZZ" again (Y and
// Z trade places between the two). On mutter, fresh clients of its EIS
// server then type at once after their keyboard, the seat's only one, is
// resumed: the first key must arrive.
#include "eis_server.h"
#include "keyboard/keyboard.h"
#include "keyboard/layout_key_injector.h"
#include "portal_desktop.h"
#include "reports.h"
#include "x11_harness.h"
#include "xkb_decoder.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace qz::test {
namespace {

using namespace std::chrono_literals;

enum class Desktop { kMutter, kKWin };

// Calls a compositor's method on the test's bus; the reply, or an error reply.
QDBusMessage Call(const QString& address, const QString& service, const QString& path, const QString& interface,
    const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    return QDBusConnection::connectToBus(address, QStringLiteral("qz-test-chain-") + address)
        .call(call, QDBus::Block, 10000);
}

// The file descriptor that a reply carries, as our own; -1 for an error.
int TakeFd(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return -1;
    }
    return fcntl(
        qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().value(0)).fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

// An EIS connection from the compositor's own API, as the desktop's portal
// backend gets it; -1 on failure.
int CompositorEis(Desktop desktop, const QString& address)
{
    if (desktop == Desktop::kKWin) {
        // Every capability: KWin names the device's own.
        return TakeFd(Call(address, "org.kde.KWin", "/org/kde/KWin/EIS/RemoteDesktop", "org.kde.KWin.EIS.RemoteDesktop",
            "connectToEIS", {63}));
    }
    const QString service = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
    const QDBusMessage created = Call(address, service, "/org/gnome/Mutter/RemoteDesktop", service, "CreateSession");
    const QString session = qvariant_cast<QDBusObjectPath>(created.arguments().value(0)).path();
    if (created.type() != QDBusMessage::ReplyMessage) {
        return -1;
    }
    Call(address, service, session, service + ".Session", "Start");
    return TakeFd(Call(address, service, session, service + ".Session", "ConnectToEIS", {QVariantMap()}));
}

// The X display that a compositor opened for Xwayland: the lowest of those
// whose lock file names the compositor (mutter opens a second one for its
// own services); empty while there is none.
QString XwaylandDisplay(qint64 compositor)
{
    int lowest = -1;
    for (const QString& lock : QDir("/tmp").entryList({".X*-lock"}, QDir::Hidden | QDir::Files)) {
        QFile file(QStringLiteral("/tmp/") + lock);
        const int number = lock.mid(2, lock.size() - 7).toInt();
        if (file.open(QIODevice::ReadOnly) && file.readAll().trimmed().toLongLong() == compositor
            && (lowest < 0 || number < lowest)) {
            lowest = number;
        }
    }
    return lowest < 0 ? QString() : QStringLiteral(":%1").arg(lowest);
}

class DesktopChain : public ::testing::TestWithParam<Desktop> {
protected:
    bool KWin() const { return GetParam() == Desktop::kKWin; }

    void SetUp() override
    {
        const QString binary = QStandardPaths::findExecutable(KWin() ? "kwin_wayland" : "mutter");
        if (binary.isEmpty() || QStandardPaths::findExecutable("wev").isEmpty()
            || QStandardPaths::findExecutable("Xwayland").isEmpty()) {
            GTEST_SKIP() << (KWin() ? "kwin_wayland" : "mutter") << ", Xwayland or wev is not installed";
        }
        clock.start();
        ASSERT_TRUE(home.isValid());
        std::string why;
        device = EmulatedTransceiver::Create(why);
        if (!device) {
            GTEST_SKIP() << why;
        }
        desktop = PortalDesktop::Start(home.path(), {true, 1, QZ_TESTER, QZ_DESKTOP_FILE}, why);
        if (!desktop) {
            GTEST_SKIP() << why;
        }
        const QString address = desktop->BusAddress();
        desktop->Backend().eisConnection = [address, kind = GetParam()] { return CompositorEis(kind, address); };

        // The session: its bus and its runtime folder, which the compositors
        // want to be the user's alone; on Plasma, two layouts, US first.
        chmod(home.path().toLocal8Bit().constData(), 0700);
        session = QProcessEnvironment::systemEnvironment();
        session.insert("DBUS_SESSION_BUS_ADDRESS", address);
        session.insert("XDG_RUNTIME_DIR", home.path());
        session.insert("XDG_CONFIG_HOME", home.filePath("config"));
        session.remove("DISPLAY");
        session.remove("WAYLAND_DISPLAY");
        if (KWin()) {
            ASSERT_TRUE(WriteFile(home.filePath("config/kxkbrc"), "[Layout]\nLayoutList=us,de\nUse=true\n"));
            session.insert("QT_QPA_PLATFORM", "offscreen");
        }
        // Xwayland's sockets go where every user may make one, as mutter checks.
        QDir().mkpath("/tmp/.X11-unix");
        chmod("/tmp/.X11-unix", 01777);
        compositor.setProcessChannelMode(QProcess::MergedChannels);
        StartTied(compositor, binary,
            KWin() ? QStringList {"--virtual", "--xwayland", "--socket", "wayland-qz", "--width", "1280", "--height",
                "720"}
                   : QStringList {"--headless", "--wayland", "--virtual-monitor", "1280x720",
                       "--wayland-display=wayland-qz"},
            session);
        // KWin starts Xwayland at its first client; mutter at once, with a
        // cookie in the runtime folder.
        QString display;
        QStringList cookie;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                display = XwaylandDisplay(compositor.processId());
                cookie = QDir(home.path()).entryList({".mutter-Xwaylandauth.*"}, QDir::Hidden | QDir::Files);
                return !display.isEmpty() && (KWin() || !cookie.isEmpty());
            },
            30000))
            << compositor.readAll().toStdString();
        session.insert("WAYLAND_DISPLAY", "wayland-qz");
        qputenv("DISPLAY", display.toLocal8Bit());
        if (cookie.isEmpty()) {
            qunsetenv("XAUTHORITY");
        } else {
            qputenv("XAUTHORITY", home.filePath(cookie.first()).toLocal8Bit());
        }
        Launch launch;
        launch.environment = [this](QProcessEnvironment& environment) {
            for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "WAYLAND_DISPLAY"}) {
                environment.insert(name, session.value(name));
            }
            environment.insert("XDG_SESSION_TYPE", "wayland");
            environment.insert("XDG_CURRENT_DESKTOP", KWin() ? "KDE" : "GNOME");
            environment.insert("XDG_STATE_HOME", home.filePath("state"));
            environment.insert("QZ470_NO_NOTIFY", "1");
            environment.remove("QZ470_KEY_SINK");
        };
        tester = std::make_unique<Tester>(QStringLiteral(QZ_TESTER), device.get(), launch);
        window = WaitForWindow("QZ470 Tester", 30s);
        ASSERT_FALSE(window.isEmpty()) << tester->Output().toStdString();
    }

    void TearDown() override
    {
        // Ending it is tested elsewhere; here it is killed.
        tester.reset();
        Stop(wev);
        Stop(compositor);
        std::printf("chain on %s: %.1f s\n", KWin() ? "KWin" : "mutter", static_cast<double>(clock.elapsed()) / 1000);
    }

    // The native window; it takes the focus as it comes.
    void StartWev()
    {
        wev.setProcessChannelMode(QProcess::MergedChannels);
        StartTied(wev, "stdbuf", {"-oL", "wev"}, session);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Wev().contains("activated"); }, 20000))
            << Wev().toStdString() << compositor.readAll().toStdString();
    }

    QString Wev()
    {
        wevOutput += QString::fromLocal8Bit(wev.readAll());
        return wevOutput;
    }

    // The text wev received: the "utf8" field under each key event (empty
    // for releases and modifiers).
    QString Typed()
    {
        QString text;
        static const QRegularExpression utf8(QStringLiteral("utf8: '([^']*)'"));
        for (const QString& line : Wev().split('\n')) {
            const QRegularExpressionMatch match = utf8.match(line);
            if (match.hasMatch()) {
                text += match.captured(1);
            }
        }
        return text;
    }

    bool Press(const QString& expected)
    {
        return device->Send(FrameData(7, kBuzz)) && QTest::qWaitFor([&] { return Typed() == expected; }, 10000);
    }

    QElapsedTimer clock;
    QTemporaryDir home;
    std::unique_ptr<EmulatedTransceiver> device;
    std::unique_ptr<PortalDesktop> desktop;
    QProcessEnvironment session;
    QProcess compositor;
    QProcess wev;
    QString wevOutput;
    std::unique_ptr<Tester> tester;
    QString window;
};

TEST_P(DesktopChain, TypedPressesArriveInTheNativeWindowExactly)
{
    // Ticking asks the portal; the compositor's keyboard is ready a moment after.
    // The keys go only once the compositor has given the window the focus:
    // on a busy machine it does so late, and keys typed before are lost.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            XdoTool({"windowfocus", window});
            return XdoTool({"getwindowfocus"}) == window;
        },
        20000))
        << "the tester's window never had the focus";
    XdoTool({"key", "Tab", "Tab", "space"});
    ASSERT_TRUE(desktop->Backend().WaitForCall("ConnectToEIS")) << tester->Output().toStdString();
    StartWev();
    QTest::qWait(1000);
    EXPECT_TRUE(Press("7BUZZ")) << "wev got \"" << Typed().toStdString() << "\"\n"
                                << Wev().right(1500).toStdString() << tester->Output().toStdString();
    if (KWin()) {
        // German now, switched as Plasma's own layout indicator switches it.
        const QDBusMessage reply = Call(desktop->BusAddress(), "org.kde.keyboard", "/Layouts",
            "org.kde.KeyboardLayouts", "setLayout", {QVariant::fromValue(1u)});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        QTest::qWait(500);
        EXPECT_TRUE(Press("7BUZZ7BUZZ")) << "wev got \"" << Typed().toStdString() << "\"\n"
                                         << tester->Output().toStdString();
        return;
    }
    // The program's keyboard goes; then fresh clients, one at a time, each
    // bringing the seat's only keyboard, type at once after it is resumed.
    tester.reset();
    auto names = CompileOrSkip("us");
    for (int run = 0; run < 5; ++run) {
        QTest::qWait(300); // the seat has lost the last keyboard
        const QString before = Typed();
        std::string why;
        auto ei = ConnectEiKeyboard(CompositorEis(Desktop::kMutter, desktop->BusAddress()), *names, why);
        ASSERT_TRUE(ei) << why;
        {
            LayoutKeyInjector keys(*ei, *ei);
            clsKeyboard kbd(keys);
            kbd.PressString("7BUZZ", false);
        }
        ei.reset();
        EXPECT_TRUE(QTest::qWaitFor([&] { return Typed() == before + "7BUZZ"; }, 5000))
            << "run " << run << ": wev got \"" << Typed().mid(before.size()).toStdString() << "\"";
    }
}

INSTANTIATE_TEST_SUITE_P(Compositors, DesktopChain, ::testing::Values(Desktop::kMutter, Desktop::kKWin),
    [](const ::testing::TestParamInfo<Desktop>& info) { return info.param == Desktop::kKWin ? "KWin" : "mutter"; });

} // namespace
} // namespace qz::test
