#include "session_bus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <csignal>
#include <sys/prctl.h>
#include <utility>

namespace qz::test {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

} // namespace

void StartTied(
    QProcess& process, const QString& program, const QStringList& arguments, const QProcessEnvironment& environment)
{
    process.setProcessEnvironment(environment);
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(program, arguments);
}

bool WriteFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
        && file.write(contents) == contents.size();
}

void Stop(QProcess& process)
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
}

std::unique_ptr<PrivateSessionBus> PrivateSessionBus::Start(const QString& directory, std::string& why)
{
    const QString socket = QDir(directory).filePath(QStringLiteral("bus"));
    const QString configPath = QDir(directory).filePath(QStringLiteral("bus.conf"));
    const bool written = WriteFile(configPath,
        QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
            .arg(socket)
            .toUtf8());
    if (!written) {
        why = "cannot write " + configPath.toStdString();
        return nullptr;
    }

    std::unique_ptr<PrivateSessionBus> bus(new PrivateSessionBus);
    StartTied(bus->daemon_, QStringLiteral("dbus-daemon"),
        {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    if (!bus->daemon_.waitForStarted(10000)) {
        why = "dbus-daemon is not installed (Debian package dbus-daemon)";
        return nullptr;
    }
    // It prints its address once it accepts connections.
    while (!bus->daemon_.canReadLine() && bus->daemon_.waitForReadyRead(30000)) { }
    if (!bus->daemon_.canReadLine()) {
        why = "dbus-daemon did not start: " + bus->daemon_.readAllStandardError().toStdString();
        return nullptr;
    }
    bus->address_ = QString::fromUtf8(bus->daemon_.readLine()).trimmed();
    return bus;
}

PrivateSessionBus::~PrivateSessionBus()
{
    Stop(daemon_);
}

std::unique_ptr<NotificationRecorder> NotificationRecorder::Start(
    const QString& address, std::string& why, bool answers)
{
    static std::atomic<int> serial {0};
    const QString name = QStringLiteral("qz-test-notification-recorder-%1").arg(++serial);
    std::unique_ptr<NotificationRecorder> recorder(new NotificationRecorder(name, answers));
    QDBusConnection connection = QDBusConnection::connectToBus(address, name);
    if (!connection.isConnected()) {
        why = "cannot connect to the private bus: " + connection.lastError().message().toStdString();
        return nullptr;
    }
    if (!connection.registerVirtualObject(kPath, recorder.get())) {
        why = "cannot register the notification object";
        return nullptr;
    }
    if (!connection.registerService(kService)) {
        why = "cannot own " + kService.toStdString() + ": " + connection.lastError().message().toStdString();
        return nullptr;
    }
    return recorder;
}

NotificationRecorder::NotificationRecorder(QString connectionName, bool answers)
    : connectionName_(std::move(connectionName))
    , answers_(answers)
{
}

NotificationRecorder::~NotificationRecorder()
{
    QDBusConnection connection(connectionName_);
    connection.unregisterObject(kPath);
    QDBusConnection::disconnectFromBus(connectionName_);
}

std::vector<NotificationRecorder::Call> NotificationRecorder::Calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

QString NotificationRecorder::introspect(const QString& /*path*/) const
{
    return QStringLiteral(R"(<interface name="org.freedesktop.Notifications">
  <method name="Notify">
    <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
    <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
  </method>
</interface>
)");
}

bool NotificationRecorder::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage || message.interface() != kInterface) {
        return false;
    }
    Call call;
    call.member = message.member();
    const QList<QVariant> arguments = message.arguments();
    const bool notify
        = call.member == QStringLiteral("Notify") && message.signature() == QStringLiteral("susssasa{sv}i");
    if (notify) {
        call.appName = arguments[0].toString();
        call.replacesId = arguments[1].toUInt();
        call.appIcon = arguments[2].toString();
        call.summary = arguments[3].toString();
        call.body = arguments[4].toString();
        call.actions = arguments[5].toStringList();
        call.hints = qdbus_cast<QVariantMap>(arguments[6]);
        call.expireTimeout = arguments[7].toInt();
    }
    uint id = 0;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        id = static_cast<uint>(calls_.size());
    }
    if (answers_) {
        connection.send(notify ? message.createReply(QVariant::fromValue(id))
                               : message.createErrorReply(QDBusError::UnknownMethod, call.member));
    }
    return true;
}

} // namespace qz::test
