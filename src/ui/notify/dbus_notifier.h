#pragma once

#include "ui/desktop_notifier.h"

#include <QObject>
#include <QString>

namespace qz {

// Notices as desktop notifications: a Notify call to the freedesktop
// notification service (org.freedesktop.Notifications) on the session bus.
//
// It never holds the program up. A notice goes out from the event loop, once
// the window has been shown, as a call whose answer nobody waits for; a
// service that does not answer is given up on after kAnswerTimeoutMs. Without
// a session bus nothing is sent and nothing is said: the bus is the one that
// DBUS_SESSION_BUS_ADDRESS names, or else the user's bus at
// $XDG_RUNTIME_DIR/bus, and libdbus is never left to find or start one by
// itself (its "autolaunch" may start programs and take seconds). With
// QZ470_NO_NOTIFY set to anything but "0" (an empty value counts as not
// set), the bus is not even looked for.
class DBusNotifier final : public DesktopNotifier {
public:
    // `appName` is shown as the sender; `desktopEntry` names the
    // application's desktop entry, and its icon.
    DBusNotifier(QString appName, QString desktopEntry);
    ~DBusNotifier() override;
    DBusNotifier(const DBusNotifier&) = delete;
    DBusNotifier& operator=(const DBusNotifier&) = delete;

    void Notify(const Notice& notice) override;

    static constexpr int kAnswerTimeoutMs = 2000;

    // The session bus's address, or empty when there is none.
    static QString SessionBusAddress();
    // True when QZ470_NO_NOTIFY turns notifications off: set, not empty, and not "0".
    static bool SwitchedOff();

private:
    void Send(const Notice& notice);
    bool Connect();

    const QString appName_;
    const QString desktopEntry_;
    const bool off_;
    enum class Bus { Untried, Connected, Absent } bus_ = Bus::Untried;
    // Sends wait in the event loop in its name: none outlives the notifier.
    QObject context_;
};

} // namespace qz
