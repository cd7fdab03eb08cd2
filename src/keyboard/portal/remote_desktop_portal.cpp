#include "keyboard/portal/remote_desktop_portal.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QRandomGenerator>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <utility>

namespace qz {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
const QString kRegistry = QStringLiteral("org.freedesktop.host.portal.Registry");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

// The Response codes of a Request.
constexpr uint kResponseGranted = 0;
constexpr uint kResponseCancelled = 1;

std::string Text(const QString& text)
{
    return text.toStdString();
}

} // namespace

RemoteDesktopPortal::RemoteDesktopPortal(QString busAddress, QString appId, RestoreTokenFile tokens)
    : busAddress_(std::move(busAddress))
    , connectionName_(QStringLiteral("qz470-tester-remote-desktop-%1").arg(reinterpret_cast<quintptr>(this)))
    , appId_(std::move(appId))
    , tokens_(std::move(tokens))
{
}

RemoteDesktopPortal::~RemoteDesktopPortal()
{
    if (bus_ != Bus::kConnected) {
        return;
    }
    QDBusConnection bus(connectionName_);
    if (!sessionPath_.isEmpty()) {
        // The desktop's indicator goes at once, not when it notices that we left.
        bus.call(
            QDBusMessage::createMethodCall(kService, sessionPath_, kSession, QStringLiteral("Close")), QDBus::NoBlock);
    }
    QDBusConnection::disconnectFromBus(connectionName_);
}

bool RemoteDesktopPortal::Connect()
{
    if (bus_ == Bus::kUntried) {
        bus_ = Bus::kAbsent;
        if (!busAddress_.isEmpty()) {
            if (QDBusConnection::connectToBus(busAddress_, connectionName_).isConnected()) {
                bus_ = Bus::kConnected;
            } else {
                QDBusConnection::disconnectFromBus(connectionName_);
            }
        }
    }
    return bus_ == Bus::kConnected;
}

void RemoteDesktopPortal::Register(std::function<void()> then)
{
    if (registered_) {
        then();
        return;
    }
    registered_ = true;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kRegistry, QStringLiteral("Register"));
    call << appId_ << QVariantMap();
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection(connectionName_).asyncCall(call), this);
    // Whatever the answer: a portal without the registry (before 1.19)
    // finds the application by itself, and one that refuses the name (no
    // desktop file of that name is installed, as in a build tree) still
    // serves the program under the name it finds.
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [then = std::move(then)](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        then();
    });
}

void RemoteDesktopPortal::Probe(std::function<void(bool offered, const std::string& why)> done)
{
    if (!Connect()) {
        done(false, "there is no session bus");
        return;
    }
    Register([this, done = std::move(done)] {
        QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, kProperties, QStringLiteral("Get"));
        get << kRemoteDesktop << QStringLiteral("AvailableDeviceTypes");
        auto* watcher = new QDBusPendingCallWatcher(QDBusConnection(connectionName_).asyncCall(get), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [done](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusPendingReply<QDBusVariant> reply = *w;
            if (reply.isError()) {
                done(false, "the desktop offers no RemoteDesktop portal");
                return;
            }
            // The version says nothing: the portal's frontend reports it
            // whatever the desktop behind it supports.
            if ((reply.value().variant().toUInt() & kKeyboard) == 0) {
                done(false, "the desktop's RemoteDesktop portal offers no keyboard");
                return;
            }
            done(true, {});
        });
    });
}

void RemoteDesktopPortal::Request(QString parentWindow, std::function<void(Result)> done, std::function<void()> closed)
{
    parentWindow_ = std::move(parentWindow);
    done_ = std::move(done);
    closed_ = std::move(closed);
    if (!Connect()) {
        Fail(Outcome::kUnavailable, "there is no session bus");
        return;
    }
    Register([this] { CreateSession(); });
}

QString RemoteDesktopPortal::NewToken()
{
    static std::atomic<unsigned> serial {0};
    return QStringLiteral("qz470_%1_%2").arg(++serial).arg(QRandomGenerator::global()->generate());
}

void RemoteDesktopPortal::CallWithRequest(const QString& method, QList<QVariant> arguments, QVariantMap options)
{
    QDBusConnection bus(connectionName_);
    const QString token = NewToken();
    options.insert(QStringLiteral("handle_token"), token);
    // The Request's path is known before the call: subscribe first, so that
    // a Response sent at once is not missed.
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    Unsubscribe();
    requestPath_ = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    bus.connect(
        kService, requestPath_, kRequest, QStringLiteral("Response"), this, SLOT(OnResponse(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kRemoteDesktop, method);
    arguments.append(options);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    const Step step = step_;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, step, method](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (step_ != step) {
            return;
        }
        const QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            if (!RetryWithoutToken()) {
                Fail(Outcome::kUnavailable, Text(method + QStringLiteral(" failed: ") + reply.error().message()));
            }
            return;
        }
        // A portal older than the handle_token rule names another path.
        const QString path = reply.value().path();
        if (path != requestPath_) {
            Unsubscribe();
            requestPath_ = path;
            QDBusConnection(connectionName_)
                .connect(kService, requestPath_, kRequest, QStringLiteral("Response"), this,
                    SLOT(OnResponse(uint, QVariantMap)));
        }
    });
}

void RemoteDesktopPortal::Unsubscribe()
{
    if (!requestPath_.isEmpty()) {
        QDBusConnection(connectionName_)
            .disconnect(kService, requestPath_, kRequest, QStringLiteral("Response"), this,
                SLOT(OnResponse(uint, QVariantMap)));
        requestPath_.clear();
    }
}

void RemoteDesktopPortal::CreateSession()
{
    step_ = Step::kCreateSession;
    sessionPath_.clear();
    QVariantMap options;
    options.insert(QStringLiteral("session_handle_token"), NewToken());
    CallWithRequest(QStringLiteral("CreateSession"), {}, options);
}

void RemoteDesktopPortal::SelectDevices()
{
    step_ = Step::kSelectDevices;
    QVariantMap options;
    options.insert(QStringLiteral("types"), kKeyboard);
    options.insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
    offeredToken_ = retried_ ? std::string() : tokens_.Load();
    if (!offeredToken_.empty()) {
        options.insert(QStringLiteral("restore_token"), QString::fromStdString(offeredToken_));
    }
    CallWithRequest(QStringLiteral("SelectDevices"), {QVariant::fromValue(QDBusObjectPath(sessionPath_))}, options);
}

void RemoteDesktopPortal::Start()
{
    step_ = Step::kStart;
    CallWithRequest(
        QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(sessionPath_)), parentWindow_}, QVariantMap());
}

void RemoteDesktopPortal::ConnectToEis()
{
    step_ = Step::kConnect;
    QDBusConnection bus(connectionName_);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kRemoteDesktop, QStringLiteral("ConnectToEIS"));
    call << QVariant::fromValue(QDBusObjectPath(sessionPath_)) << QVariantMap();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (step_ != Step::kConnect) {
            return;
        }
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        const int fd = reply.isError() || !reply.value().isValid()
            ? -1
            : fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            Fail(Outcome::kUnavailable,
                Text(QStringLiteral("ConnectToEIS failed: ")
                    + (reply.isError() ? reply.error().message() : QStringLiteral("no connection"))));
            return;
        }
        step_ = Step::kGranted;
        // The desktop may end the session later, from its own indicator.
        QDBusConnection(connectionName_)
            .connect(kService, sessionPath_, kSession, QStringLiteral("Closed"), this, SLOT(OnClosed(QVariantMap)));
        if (auto done = std::exchange(done_, {})) {
            done({Outcome::kGranted, fd, {}});
        } else {
            ::close(fd);
        }
    });
}

void RemoteDesktopPortal::OnResponse(uint code, const QVariantMap& results)
{
    Unsubscribe();
    const bool granted = code == kResponseGranted;
    switch (step_) {
    case Step::kCreateSession:
        sessionPath_ = results.value(QStringLiteral("session_handle")).toString();
        if (granted && !sessionPath_.isEmpty()) {
            SelectDevices();
            return;
        }
        break;
    case Step::kSelectDevices:
        if (granted) {
            Start();
            return;
        }
        break;
    case Step::kStart:
        if (granted) {
            // A token is good for one use: the new one replaces it, and
            // none back means none is kept.
            const QString token = results.value(QStringLiteral("restore_token")).toString();
            if (token.isEmpty() || !tokens_.Save(token.toStdString())) {
                tokens_.Remove();
            }
            // The person may share other devices and not the keyboard: a
            // refusal. A desktop that does not say which (none is bound to)
            // is taken at its word that it granted, and the keyboard's
            // arrival decides.
            const QVariant devices = results.value(QStringLiteral("devices"));
            if (devices.isValid() && (devices.toUInt() & kKeyboard) == 0) {
                Fail(Outcome::kRefused, "the keyboard was not shared");
                return;
            }
            ConnectToEis();
            return;
        }
        break;
    default:
        return;
    }
    if (code == kResponseCancelled) {
        Fail(Outcome::kRefused, "the person cancelled");
        return;
    }
    if (!RetryWithoutToken()) {
        Fail(Outcome::kUnavailable, "the portal ended the request");
    }
}

bool RemoteDesktopPortal::RetryWithoutToken()
{
    const bool tokenInPlay = step_ == Step::kSelectDevices || step_ == Step::kStart;
    if (!tokenInPlay || offeredToken_.empty() || retried_) {
        return false;
    }
    tokens_.Remove();
    offeredToken_.clear();
    retried_ = true;
    // The portal closed the failed session; a new one asks the person.
    CreateSession();
    return true;
}

void RemoteDesktopPortal::OnClosed(const QVariantMap& /*details*/)
{
    if (step_ != Step::kGranted) {
        return;
    }
    step_ = Step::kOver;
    sessionPath_.clear();
    if (auto closed = std::exchange(closed_, {})) {
        closed();
    }
}

void RemoteDesktopPortal::Fail(Outcome outcome, const std::string& why)
{
    Unsubscribe();
    step_ = Step::kOver;
    if (!sessionPath_.isEmpty() && bus_ == Bus::kConnected) {
        QDBusConnection(connectionName_)
            .call(QDBusMessage::createMethodCall(kService, sessionPath_, kSession, QStringLiteral("Close")),
                QDBus::NoBlock);
    }
    sessionPath_.clear();
    if (auto done = std::exchange(done_, {})) {
        done({outcome, -1, why});
    }
}

} // namespace qz
