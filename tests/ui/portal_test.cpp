// The real program asks the desktop's RemoteDesktop portal for permission
// to type, as on a GNOME or KDE Wayland session: the real xdg-desktop-portal
// frontend on a private bus, a backend of ours behind it (the "dialog"), and
// an EIS server of ours as the compositor that receives the keys. The
// program runs on Xvfb with an emulated transceiver; ticking "Enable
// Keypress Events" asks, and pad 7's BUZZ arrives as "7BUZZ".
//
// Checked: the sequence with persist_mode 2 and the window as parent; the
// token kept with mode 0600 and offered on the next run; a rejected token
// asked for once more without it; a refusal and a session closed later (the
// line, the notification, nothing typed by any sink); no portal or no
// keyboard (the next sink, XTest here); the stay-on-top hint given up while
// the dialog is pending and taken back after.
#include "x11_harness.h"

#include "eis_server.h"
#include "portal_desktop.h"
#include "reports.h"
#include "session_bus.h"

#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace qz::test {
namespace {

using namespace std::chrono_literals;

// The main window's "Enable Keypress Events" box, in logical pixels.
const QRect kKeysBox(200, 456, 382, 33);
const QRect kExitButton(406, 520, 133, 59);
const QString kRefusedLine = QStringLiteral(
    "qz470-tester: typing was not allowed; no keystrokes will be typed until qz470-tester is started again. To allow "
    "it, start it again, tick \"Enable Keypress Events\" and allow it in the desktop's dialog, or allow it in the "
    "desktop's privacy settings.");
const QString kClosedLine = QStringLiteral(
    "qz470-tester: the desktop ended the permission to type; no keystrokes will be typed until qz470-tester is "
    "started again. To allow it, start it again, tick \"Enable Keypress Events\" and allow it in the desktop's "
    "dialog, or allow it in the desktop's privacy settings.");

// What a window manager hears of the program's wish to stay on top: the
// _NET_WM_STATE client messages to the root window for one window.
class WmStateListener {
public:
    WmStateListener()
        : connection_(xcb_connect(nullptr, nullptr))
    {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        // Qt sends them with the structure-notify mask, which any client may select.
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection_, screen->root, XCB_CW_EVENT_MASK, &mask);
        state_ = Atom("_NET_WM_STATE");
        above_ = Atom("_NET_WM_STATE_ABOVE");
        xcb_flush(connection_);
    }
    ~WmStateListener() { xcb_disconnect(connection_); }

    // "+" for every wish to be above, "-" for every wish not to be, in order.
    std::string Wishes(xcb_window_t window)
    {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
                const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
                if (message->window == window && message->type == state_
                    && (message->data.data32[1] == above_ || message->data.data32[2] == above_)) {
                    wishes_ += message->data.data32[0] == 1 ? '+' : '-';
                }
            }
            std::free(event);
        }
        return wishes_;
    }

private:
    xcb_atom_t Atom(const char* name)
    {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t {XCB_ATOM_NONE};
        std::free(reply);
        return atom;
    }

    xcb_connection_t* connection_;
    xcb_atom_t state_ = 0;
    xcb_atom_t above_ = 0;
    std::string wishes_;
};

class PortalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        std::string why;
        device = EmulatedTransceiver::Create(why);
        if (!device) {
            GTEST_SKIP() << why;
        }
        eis = EisServer::Start({"us"}, why);
        ASSERT_TRUE(eis) << why;
        // A text field of the test's own with the X focus: whatever XTest
        // types lands here.
        field.setWindowTitle(QStringLiteral("typing target"));
        field.setGeometry(850, 700, 300, 40);
        field.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&field));
        StartDesktop();
    }

    // The desktop: a portal with a keyboard, none, or one without a keyboard.
    void StartDesktop(bool frontend = true, unsigned types = 1)
    {
        std::string why;
        desktop = PortalDesktop::Start(home.path(), {frontend, types, QZ_TESTER, QZ_DESKTOP_FILE}, why);
        if (!desktop) {
            GTEST_SKIP() << why;
        }
        if (frontend) {
            desktop->Backend().eisConnection = [this] { return eis->NewClient(); };
        }
        recorder = NotificationRecorder::Start(desktop->BusAddress(), why);
        ASSERT_TRUE(recorder) << why;
    }

    // The program, as on a Wayland session, with its window up.
    void StartTester()
    {
        Launch launch;
        launch.environment = [this](QProcessEnvironment& environment) {
            environment.insert("DBUS_SESSION_BUS_ADDRESS", desktop->BusAddress());
            environment.insert("XDG_SESSION_TYPE", "wayland");
            environment.insert("XDG_STATE_HOME", home.filePath("state"));
            environment.insert("XDG_RUNTIME_DIR", home.path());
            environment.remove("QZ470_KEY_SINK");
            environment.remove("QZ470_NO_NOTIFY");
        };
        tester = std::make_unique<Tester>(QStringLiteral(QZ_TESTER), device.get(), launch);
        window = WaitForWindow("QZ470 Tester", 30s);
        ASSERT_FALSE(window.isEmpty()) << tester->Output().toStdString();
        XdoTool({"windowfocus", "--sync", QString::number(field.winId())});
    }

    // Ticks "Enable Keypress Events", then gives the focus back to the field.
    void Tick()
    {
        ClickAt(window, kKeysBox.topLeft() + QPoint(40, kKeysBox.height() / 2));
        XdoTool({"windowfocus", "--sync", QString::number(field.winId())});
    }

    bool Called(const QString& method, int times = 1) { return desktop->Backend().WaitForCall(method, times); }

    // Pad 7's BUZZ; what reached the EIS server (through the portal) and the
    // test's own X field (through XTest): what must come, within 5 s; where
    // nothing may, nothing for a second, which a press takes well within.
    void Press(const std::string& toEis, const QString& toField)
    {
        field.clear();
        ASSERT_TRUE(device->Send(FrameData(7, kBuzz)));
        const bool nothing = toEis.empty() && toField.isEmpty();
        std::string got;
        (void)QTest::qWaitFor(
            [&] {
                got += eis->Take().text;
                return !nothing && got.size() >= toEis.size() && field.text().size() >= toField.size();
            },
            nothing ? 1000 : 5000);
        EXPECT_EQ(got, toEis);
        EXPECT_EQ(field.text(), toField);
    }

    void Exit()
    {
        ClickAt(window, kExitButton.center());
        ASSERT_TRUE(tester->WaitForExit(15s)) << tester->Output().toStdString();
        EXPECT_EQ(tester->ExitCode(), 0) << tester->Output().toStdString();
    }

    // A refusal (or a permission ended later) is told once, in the line and
    // the notification; a press after it types nothing, by any sink.
    void ExpectToldOnceAndNothingTyped(bool closedLater)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder->Calls().empty(); }, 10000))
            << tester->Output().toStdString();
        Press("", "");
        const auto calls = recorder->Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls.back().summary, closedLater ? "Keystrokes no longer allowed" : "Keystrokes not allowed");
        const QString line = closedLater ? kClosedLine : kRefusedLine;
        const QString said = line.mid(QStringLiteral("qz470-tester: ").size());
        EXPECT_EQ(calls.back().body, said.left(1).toUpper() + said.mid(1));
        Exit();
        EXPECT_EQ(tester->Output().trimmed(), line);
    }

    QString TokenPath() { return home.filePath("state/qz470-tester/remote-desktop-token"); }
    QString Token()
    {
        QFile file(TokenPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
    }

    QTemporaryDir home;
    std::unique_ptr<EmulatedTransceiver> device;
    std::unique_ptr<EisServer> eis;
    std::unique_ptr<PortalDesktop> desktop;
    std::unique_ptr<NotificationRecorder> recorder;
    std::unique_ptr<Tester> tester;
    QString window;
    QLineEdit field;
};

TEST_F(PortalTest, AGrantTypesAndItsTokenRestoresItOnTheNextRun)
{
    StartTester();
    // Nothing is asked before the tick.
    QTest::qWait(500);
    EXPECT_TRUE(desktop->Backend().Calls().empty());
    Tick();
    ASSERT_TRUE(Called("ConnectToEIS")) << tester->Output().toStdString() << desktop->FrontendLog().toStdString();
    const auto calls = desktop->Backend().Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].method, "CreateSession");
    EXPECT_EQ(calls[1].method, "SelectDevices");
    EXPECT_EQ(calls[1].options.value("types").toUInt(), 1u);
    EXPECT_EQ(calls[1].options.value("persist_mode").toUInt(), 2u);
    EXPECT_FALSE(calls[1].options.contains("restore_data"));
    EXPECT_EQ(calls[2].method, "Start");
    EXPECT_EQ(calls[2].parentWindow, "x11:" + QString::number(window.toULongLong(), 16));
    // Registered under its desktop file's name.
    EXPECT_EQ(calls[2].appId.toStdString(), "qz470-tester");
    // The first press after the grant arrives whole, at the compositor only.
    QTest::qWait(500);
    Press("7BUZZ", "");
    EXPECT_FALSE(eis->Take().keyDown);
    struct stat info { };
    ASSERT_EQ(stat(TokenPath().toLocal8Bit().constData(), &info), 0) << "no token kept";
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const QString first = Token();
    EXPECT_FALSE(first.isEmpty());
    Exit();
    EXPECT_EQ(tester->Output().trimmed().toStdString(), "");

    // The next run offers the token; the frontend hands the backend what it
    // kept, so no dialog would show, and a new token replaces the old.
    StartTester();
    Tick();
    ASSERT_TRUE(Called("ConnectToEIS", 2)) << tester->Output().toStdString();
    const auto again = desktop->Backend().Calls();
    EXPECT_TRUE(again[5].options.contains("restore_data")) << "the stored token was not offered";
    EXPECT_FALSE(Token().isEmpty());
    Exit();
    EXPECT_TRUE(recorder->Calls().empty());
}

TEST_F(PortalTest, ARejectedTokenIsDroppedAndThePersonAskedOnceMore)
{
    // Not a token the portal ever gave: it rejects it.
    ASSERT_TRUE(WriteFile(TokenPath(), "stale-token\n"));
    StartTester();
    Tick();
    ASSERT_TRUE(Called("ConnectToEIS")) << tester->Output().toStdString() << desktop->FrontendLog().toStdString();
    int sessions = 0;
    for (const auto& call : desktop->Backend().Calls()) {
        sessions += call.method == "CreateSession" ? 1 : 0;
        EXPECT_FALSE(call.options.contains("restore_data"));
    }
    EXPECT_EQ(sessions, 2);
    QTest::qWait(500);
    Press("7BUZZ", "");
    EXPECT_NE(Token(), "stale-token");
    EXPECT_FALSE(Token().isEmpty());
    Exit();
}

TEST_F(PortalTest, WithoutThePortalOrItsKeyboardTheNextSinkTypesWithoutARefusal)
{
    for (const bool frontend : {false, true}) {
        SCOPED_TRACE(frontend ? "a portal without a keyboard" : "no portal");
        desktop.reset();
        StartDesktop(frontend, 2); // a pointer only
        StartTester();
        Tick();
        // uinput, where it opens; else XTest, into the test's own field.
        Press("", "7BUZZ");
        Exit();
        const QString said = tester->Output();
        EXPECT_FALSE(said.contains("not allowed")) << said.toStdString();
        EXPECT_TRUE(recorder->Calls().empty());
        if (frontend) {
            for (const auto& call : desktop->Backend().Calls()) {
                EXPECT_NE(call.method, "CreateSession") << "the person was asked";
            }
        }
    }
}

TEST_F(PortalTest, WhileTheDialogIsPendingTheWindowIsNotOnTopAndARefusalTypesNothing)
{
    desktop->Backend().holdStart = true;
    WmStateListener wm;
    StartTester();
    const xcb_window_t id = window.toUInt();
    QTest::qWait(500);
    const std::string before = wm.Wishes(id); // the wish made as the window was created
    Tick();
    ASSERT_TRUE(Called("Start")) << tester->Output().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return wm.Wishes(id) == before + "-"; }, 5000)) << wm.Wishes(id);
    // While the person decides, presses show but type nothing.
    Press("", "");
    desktop->Backend().Release(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return wm.Wishes(id) == before + "-+"; }, 5000)) << wm.Wishes(id);
    ExpectToldOnceAndNothingTyped(false);
}

TEST_F(PortalTest, ASessionClosedLaterTypesNothingMoreAndSaysSoOnce)
{
    StartTester();
    Tick();
    ASSERT_TRUE(Called("ConnectToEIS")) << tester->Output().toStdString();
    QTest::qWait(500);
    Press("7BUZZ", "");
    desktop->Backend().CloseSessions();
    ExpectToldOnceAndNothingTyped(true);
}

} // namespace
} // namespace qz::test
