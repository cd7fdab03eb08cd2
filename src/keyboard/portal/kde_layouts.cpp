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

KdeLayouts::KdeLayouts(const QString& busAddress, std::function<void(unsigned)> changed)
    : connectionName_(QStringLiteral("qz470-tester-kde-layouts-%1").arg(reinterpret_cast<quintptr>(this)))
    , changed_(std::move(changed))
{
    QDBusConnection bus = QDBusConnection::connectToBus(busAddress, connectionName_);
    if (!bus.isConnected()) {
        return;
    }
    bus.connect(kService, kPath, kInterface, QStringLiteral("layoutChanged"), this, SLOT(OnLayoutChanged(uint)));
    auto* watcher = new QDBusPendingCallWatcher(
        bus.asyncCall(QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("getLayout"))), this);
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
