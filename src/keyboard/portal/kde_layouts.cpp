#include "keyboard/portal/kde_layouts.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <utility>

namespace qz {

namespace {

const QString kService = QStringLiteral("org.kde.keyboard");
const QString kPath = QStringLiteral("/Layouts");
const QString kInterface = QStringLiteral("org.kde.KeyboardLayouts");

} // namespace

bool KdeLayouts::OnPlasma(const char* currentDesktop)
{
    if (currentDesktop == nullptr) {
        return false;
    }
    return QString::fromLocal8Bit(currentDesktop).split(QLatin1Char(':')).contains(QStringLiteral("KDE"));
}

KdeLayouts::KdeLayouts(const QString& busAddress, std::function<void(unsigned)> changed)
    : connectionName_(QStringLiteral("qz470-tester-kde-layouts-%1").arg(reinterpret_cast<quintptr>(this)))
    , changed_(std::move(changed))
{
    QDBusConnection bus = QDBusConnection::connectToBus(busAddress, connectionName_);
    if (!bus.isConnected()) {
        return;
    }
    bus.connect(kService, kPath, kInterface, QStringLiteral("layoutChanged"), this, SLOT(OnLayoutChanged(uint)));
    // Asked of a running KWin only: a desktop that merely has the service
    // installed must not start it for us.
    QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("getLayout"));
    get.setAutoStartService(false);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(get), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (!reply.isError()) {
            OnLayoutChanged(reply.value());
        }
    });
}

KdeLayouts::~KdeLayouts()
{
    QDBusConnection::disconnectFromBus(connectionName_);
}

void KdeLayouts::OnLayoutChanged(uint index)
{
    changed_(index);
}

} // namespace qz
