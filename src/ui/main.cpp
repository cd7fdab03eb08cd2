#include "keyboard/x11_key_injector.h"
#include "link/hidraw_layer.h"
#include "timer/qt_timer_layer.h"
#include "ui/frm_main.h"

#include <QApplication>
#include <QByteArray>

int main(int argc, char** argv)
{
    // Staying on top and being placed at a given position are X11 notions
    // that native Wayland ignores: use X11 (XWayland on a Wayland session)
    // unless the user has chosen a platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("xcb"));
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qz470-tester"));
    QApplication::setDesktopFileName(QStringLiteral("qz470-tester"));

    qz::QtTimerLayer timers;
    // Its default reporter tells, once per node, how to get permission to
    // open a transceiver that is present but not accessible.
    qz::HidrawLayer hid;
    qz::X11KeyInjector keys;
    qz::frmMain form(hid, timers, keys);
    form.show();
    return QApplication::exec();
}
