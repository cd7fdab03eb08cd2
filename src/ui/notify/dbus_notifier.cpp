#include "ui/notify/dbus_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QMetaObject>
#include <QStringList>
#include <QVariantMap>

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace qz {

namespace {

const QString kConnectionName = QStringLiteral("qz470-tester-notifications");
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// A value in a D-Bus address: bytes outside the optionally-escaped set are
// written as %XX.
QString EscapeAddressValue(const QByteArray& value)
{
    QString escaped;
    for (const char c : value) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-'
            || c == '_' || c == '/' || c == '.' || c == '\\' || c == '*';
        escaped += plain ? QString(QLatin1Char(c))
                         : QStringLiteral("%%1").arg(static_cast<unsigned char>(c), 2, 16, QLatin1Char('0'));
    }
    return escaped;
}

} // namespace

DBusNotifier::DBusNotifier(QString appName, QString desktopEntry)
    : appName_(std::move(appName))
    , desktopEntry_(std::move(desktopEntry))
    , off_(SwitchedOff())
{
}

DBusNotifier::~DBusNotifier()
{
    if (bus_ == Bus::Connected) {
        QDBusConnection::disconnectFromBus(kConnectionName);
    }
}

bool DBusNotifier::SwitchedOff()
{
    const QByteArray value = qgetenv("QZ470_NO_NOTIFY");
    return !value.isEmpty() && value != "0";
}

QString DBusNotifier::SessionBusAddress()
{
    const QByteArray named = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!named.isEmpty()) {
        return QString::fromLocal8Bit(named);
    }
    // The per-user bus of a systemd session, when the variable was lost on
    // the way; only a socket of our own, as libdbus itself would accept.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) {
        return {};
    }
    const QByteArray path = runtime + "/bus";
    struct stat info { };
    if (stat(path.constData(), &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != geteuid()) {
        return {};
    }
    return QStringLiteral("unix:path=") + EscapeAddressValue(path);
}

void DBusNotifier::Notify(const Notice& notice)
{
    if (off_) {
        return;
    }
    QMetaObject::invokeMethod(
        &context_, [this, notice] { Send(notice); }, Qt::QueuedConnection);
}

bool DBusNotifier::Connect()
{
    if (bus_ == Bus::Untried) {
        bus_ = Bus::Absent;
        const QString address = SessionBusAddress();
        if (!address.isEmpty()) {
            if (QDBusConnection::connectToBus(address, kConnectionName).isConnected()) {
                bus_ = Bus::Connected;
            } else {
                QDBusConnection::disconnectFromBus(kConnectionName);
            }
        }
    }
    return bus_ == Bus::Connected;
}

void DBusNotifier::Send(const Notice& notice)
{
    if (!Connect()) {
        return;
    }
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints,
    // expire_timeout): a new notification, no actions, normal urgency, shown
    // as long as the service shows notifications by default.
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), desktopEntry_);
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(1)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << appName_ << 0u << desktopEntry_ << QString::fromStdString(notice.summary)
         << QString::fromStdString(notice.body) << QStringList() << hints << -1;
    // The answer (the notification's number) is of no use to us.
    QDBusConnection(kConnectionName).asyncCall(call, kAnswerTimeoutMs);
}

} // namespace qz
