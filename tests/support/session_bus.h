#pragma once

// A private D-Bus session bus for one test, and a desktop notification
// service of the test's own on it that records every call; and the programs
// of such a private desktop.

#include <QDBusVirtualObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qz::test {

// Starts a program of the test's private desktop (a bus, a portal, a
// compositor): gone with the test program, also when that crashes or is
// killed. Its output channels are as `process` has them set.
void StartTied(QProcess& process, const QString& program, const QStringList& arguments,
    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
// Ends it, if it runs: asked to end, and killed after 5 s.
void Stop(QProcess& process);
// Writes a file of such a desktop (a configuration, a stored state), making
// its folder; false when it cannot be written.
bool WriteFile(const QString& path, const QByteArray& contents);

// dbus-daemon on a configuration of our own: a session bus that anyone of
// this user may connect to, which starts no services of the machine's (no
// service directories), listening on `directory`/bus. Stopped when the object
// goes, and also when the test program dies.
class PrivateSessionBus {
public:
    // nullptr when it cannot start; `why` says why.
    static std::unique_ptr<PrivateSessionBus> Start(const QString& directory, std::string& why);
    ~PrivateSessionBus();

    const QString& Address() const { return address_; }

private:
    PrivateSessionBus() = default;
    QProcess daemon_;
    QString address_;
};

// Owns org.freedesktop.Notifications on a bus and answers each Notify with a
// new number, like a notification daemon, recording what it was asked; or,
// made not to answer, records and leaves every caller waiting, like a hung
// one.
class NotificationRecorder final : public QDBusVirtualObject {
public:
    struct Call {
        QString member; // "Notify", or whatever else was asked
        QString appName;
        uint replacesId = 0;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout = 0;
    };

    // nullptr when it cannot take the name; `why` says why.
    static std::unique_ptr<NotificationRecorder> Start(const QString& address, std::string& why, bool answers = true);
    ~NotificationRecorder() override;

    // The calls so far. Calls arrive while this program's events are processed.
    std::vector<Call> Calls() const;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    NotificationRecorder(QString connectionName, bool answers);

    const QString connectionName_;
    const bool answers_;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

} // namespace qz::test
