#include "portal_desktop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTest>

#include <unistd.h>

#include <atomic>

namespace qz::test {

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.impl.portal.RemoteDesktop");
const QString kSession = QStringLiteral("org.freedesktop.impl.portal.Session");
const QString kRequest = QStringLiteral("org.freedesktop.impl.portal.Request");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kFrontend = QStringLiteral("/usr/libexec/xdg-desktop-portal");
const QString kStore = QStringLiteral("/usr/libexec/xdg-permission-store");

} // namespace

std::vector<PortalBackend::Call> PortalBackend::Calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

bool PortalBackend::WaitForCall(const QString& method, int times) const
{
    return QTest::qWaitFor(
        [&] {
            int count = 0;
            for (const Call& call : Calls()) {
                count += call.method == method ? 1 : 0;
            }
            return count >= times;
        },
        20000);
}

QString PortalBackend::introspect(const QString& /*path*/) const
{
    // The frontend calls the backend without looking first.
    return {};
}

bool PortalBackend::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage) {
        return false;
    }
    const QList<QVariant> args = message.arguments();
    const QString member = message.member();
    if (message.interface() == kProperties) {
        // The frontend reads them all once, as it starts.
        QVariantMap properties;
        properties.insert(QStringLiteral("AvailableDeviceTypes"), availableTypes_);
        properties.insert(QStringLiteral("version"), 2u);
        connection.send(member == QStringLiteral("GetAll")
                ? message.createReply(QVariant::fromValue(properties))
                : message.createErrorReply(QDBusError::NotSupported, member));
        return true;
    }
    if (message.interface() == kSession || message.interface() == kRequest) {
        connection.send(message.createReply());
        return true;
    }
    if (message.interface() != kRemoteDesktop) {
        return false;
    }
    // (session, app id, options) for ConnectToEIS; (request, session, app
    // id, [parent window,] options) for the others.
    const bool connect = member == QStringLiteral("ConnectToEIS");
    if (args.size() < (connect ? 3 : 4)) {
        connection.send(message.createErrorReply(QDBusError::InvalidArgs, member));
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        calls_.push_back({member, args[connect ? 1 : 2].toString(),
            member == QStringLiteral("Start") ? args[3].toString() : QString(), qdbus_cast<QVariantMap>(args.last())});
        if (member == QStringLiteral("CreateSession")) {
            sessions_.push_back(qvariant_cast<QDBusObjectPath>(args[1]).path());
        }
    }
    if (connect) {
        const int fd = eisConnection ? eisConnection() : -1;
        connection.send(fd < 0 ? message.createErrorReply(QDBusError::Failed, QStringLiteral("no EIS server"))
                               : message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fd))));
        if (fd >= 0) {
            ::close(fd);
        }
    } else if (member == QStringLiteral("Start") && holdStart) {
        message.setDelayedReply(true);
        std::lock_guard lock(mutex_);
        held_.push_back(message);
    } else if (member == QStringLiteral("Start")) {
        Answer(message, true);
    } else {
        connection.send(message.createReply({0u, QVariant::fromValue(QVariantMap())}));
    }
    return true;
}

void PortalBackend::Answer(const QDBusMessage& start, bool grant)
{
    QDBusConnection connection(connectionName_);
    if (!grant) {
        connection.send(start.createReply({1u, QVariant::fromValue(QVariantMap())}));
        return;
    }
    // The grant, with what a desktop keeps to restore it: the frontend turns
    // it into a restore token for the program.
    QVariantMap results;
    results.insert(QStringLiteral("devices"), 1u);
    results.insert(QStringLiteral("persist_mode"), 2u);
    QDBusArgument restore;
    restore.beginStructure();
    restore << QStringLiteral("qztest") << 1u << QDBusVariant(QStringLiteral("granted"));
    restore.endStructure();
    results.insert(QStringLiteral("restore_data"), QVariant::fromValue(restore));
    connection.send(start.createReply({0u, QVariant::fromValue(results)}));
}

void PortalBackend::Release(bool grant)
{
    std::vector<QDBusMessage> held;
    {
        std::lock_guard lock(mutex_);
        held.swap(held_);
    }
    for (const QDBusMessage& start : held) {
        Answer(start, grant);
    }
}

void PortalBackend::CloseSessions()
{
    std::vector<QString> sessions;
    {
        std::lock_guard lock(mutex_);
        sessions.swap(sessions_);
    }
    for (const QString& session : sessions) {
        QDBusConnection(connectionName_).send(QDBusMessage::createSignal(session, kSession, QStringLiteral("Closed")));
    }
}

std::unique_ptr<PortalDesktop> PortalDesktop::Start(const QString& home, const Options& options, std::string& why)
{
    static std::atomic<int> serial {0};
    if (options.frontend && (!QFileInfo(kFrontend).isExecutable() || !QFileInfo(kStore).isExecutable())) {
        why = "xdg-desktop-portal is not installed";
        return nullptr;
    }
    std::unique_ptr<PortalDesktop> desktop(new PortalDesktop);
    if (!desktop->config_.isValid()) {
        why = "no temporary folder";
        return nullptr;
    }
    desktop->bus_ = PrivateSessionBus::Start(desktop->config_.path(), why);
    if (!desktop->bus_) {
        return nullptr;
    }
    if (!options.frontend) {
        return desktop;
    }
    // The backend first: the frontend looks for it when it starts.
    const QString connectionName = QStringLiteral("qz-test-portal-backend-%1").arg(++serial);
    desktop->backend_.reset(new PortalBackend(connectionName, options.availableTypes));
    QDBusConnection connection = QDBusConnection::connectToBus(desktop->BusAddress(), connectionName);
    if (!connection.isConnected()
        || !connection.registerVirtualObject(
            kPath, desktop->backend_.get(), QDBusConnection::VirtualObjectRegisterOption::SubPath)
        || !connection.registerService(QString::fromLatin1(kBackendName))) {
        why = "the portal backend cannot take its name on the bus";
        return nullptr;
    }
    // Our backend, for our desktop, found where the frontend looks in tests.
    const QString portals = desktop->config_.filePath(QStringLiteral("portals"));
    const QString configHome = desktop->config_.filePath(QStringLiteral("config"));
    WriteFile(portals + QStringLiteral("/qztest.portal"),
        QStringLiteral("[portal]\nDBusName=%1\nInterfaces=%2;\nUseIn=qztest\n")
            .arg(QString::fromLatin1(kBackendName), kRemoteDesktop)
            .toUtf8());
    WriteFile(configHome + QStringLiteral("/xdg-desktop-portal/qztest-portals.conf"), "[preferred]\ndefault=qztest\n");
    // The applications it knows: a registered name must be a desktop file's.
    const QString data = desktop->config_.filePath(QStringLiteral("data"));
    QDir().mkpath(data + QStringLiteral("/applications"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!options.program.isEmpty()) {
        QFile::copy(
            options.desktopFile, data + QStringLiteral("/applications/") + QFileInfo(options.desktopFile).fileName());
        environment.insert(QStringLiteral("PATH"),
            QFileInfo(options.program).absolutePath() + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    }
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), data + QStringLiteral(":/usr/share"));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), desktop->BusAddress());
    environment.insert(QStringLiteral("XDG_DESKTOP_PORTAL_DIR"), portals);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("qztest"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    environment.insert(QStringLiteral("HOME"), home);
    desktop->store_.setProcessChannelMode(QProcess::MergedChannels);
    desktop->frontend_.setProcessChannelMode(QProcess::MergedChannels);
    StartTied(desktop->store_, kStore, {QStringLiteral("--replace")}, environment);
    StartTied(desktop->frontend_, kFrontend, {QStringLiteral("--replace")}, environment);
    // The frontend is ready once it owns its name.
    QDBusConnection probe(connectionName);
    const bool up = QTest::qWaitFor(
        [&] {
            return probe.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.portal.Desktop")).value()
                && probe.interface()
                       ->isServiceRegistered(QStringLiteral("org.freedesktop.impl.portal.PermissionStore"))
                       .value();
        },
        20000);
    if (!up) {
        why = "xdg-desktop-portal did not start: " + desktop->FrontendLog().toStdString();
        return nullptr;
    }
    return desktop;
}

PortalDesktop::~PortalDesktop()
{
    Stop(frontend_);
    Stop(store_);
    if (backend_) {
        QDBusConnection(backend_->connectionName_).unregisterObject(kPath, QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus(backend_->connectionName_);
    }
}

QString PortalDesktop::FrontendLog()
{
    return QString::fromLocal8Bit(frontend_.readAll());
}

} // namespace qz::test
