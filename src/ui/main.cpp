#include "link/hidraw/hidraw_layer.h"
#include "link/open_failure.h"
#include "timer/qt/qt_timer_layer.h"
#include "ui/command_line.h"
#include "ui/frm_main.h"
#include "ui/notify/dbus_notifier.h"
#include "ui/tester_keys.h"

#include <QApplication>
#include <QByteArray>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    if (const std::optional<int> status = qz::AnswerHelpOrVersion(arguments)) {
        return *status;
    }

    // Staying on top and being placed at a given position are X11 notions
    // that native Wayland ignores: use X11 (XWayland on a Wayland session)
    // unless the user has chosen a platform.
    bool platformChosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    bool displayChosen = !qEnvironmentVariableIsEmpty("DISPLAY");
    for (int i = 1; i < argc; ++i) {
        // Qt's own options, with one dash or two.
        const char* option = argv[i][0] == '-' && argv[i][1] == '-' ? argv[i] + 1 : argv[i];
        platformChosen = platformChosen || std::strcmp(option, "-platform") == 0;
        displayChosen = displayChosen || std::strcmp(option, "-display") == 0;
    }
    if (!platformChosen) {
        // Without a display Qt would abort; say what is missing instead.
        if (!displayChosen) {
            std::fprintf(stderr, "qz470-tester: no X display (DISPLAY is not set); start it from a desktop session\n");
            return 1;
        }
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("xcb"));
    }
    QApplication app(argc, argv);
    if (const std::optional<int> status = qz::RefuseLeftOverArguments(QCoreApplication::arguments())) {
        return *status;
    }
    QApplication::setApplicationName(QStringLiteral("qz470-tester"));
    QApplication::setDesktopFileName(QStringLiteral("qz470-tester"));

    qz::QtTimerLayer timers;
    qz::HidrawLayer hid;
    qz::frmMain::Hooks hooks;
    // One line on standard error tells the user, once per node, how to get
    // permission to open a transceiver that is present but not accessible,
    // and when none was found at all.
    hooks.openFailure = [](const qz::OpenFailure& failure) {
        std::fprintf(stderr, "%s\n", qz::DescribeOpenFailure(failure, qz::frmMain::kProgramName).c_str());
    };
    hooks.noTransceiver
        = [] { std::fprintf(stderr, "%s\n", qz::DescribeNoTransceiver(qz::frmMain::kProgramName).c_str()); };
    // Without a usable transceiver the desktop is told too, by a notification;
    // and so it is when typing is refused.
    hooks.notifier = std::make_shared<qz::DBusNotifier>(QStringLiteral("QZ470 Tester"), QStringLiteral("qz470-tester"));
    // Typed keys let the program's queued events run between characters.
    qz::TesterKeys keys(
        [] { QCoreApplication::processEvents(); }, hooks.notifier, qz::DBusNotifier::SessionBusAddress());
    // The first tick of "Enable Keypress Events" may ask the desktop; its
    // dialog must not open beneath the window, which stays on top.
    qz::frmMain* shown = nullptr;
    hooks.firstKeysTick = [&] { keys.FirstTick(shown->ParentWindowHandle()); };
    keys.onPermissionPending = [&](bool pending) {
        if (shown != nullptr) {
            shown->KeepOnTop(!pending);
        }
    };
    qz::frmMain form(hid, timers, keys.Injector(), hooks);
    shown = &form;
    form.show();
    return QApplication::exec();
}
