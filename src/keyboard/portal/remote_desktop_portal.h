#pragma once

#include "keyboard/portal/restore_token.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <string>

class QDBusPendingCallWatcher;

namespace qz {

// A RemoteDesktop session of the desktop's portal (xdg-desktop-portal) that
// lets this program type: the desktop asks the person once, in its own
// dialog, and hands over a connection to the compositor's emulated-input
// (EIS) server. Qt D-Bus, on the session bus at the address given.
//
// Nothing here blocks: every step is an asynchronous call, and its result
// arrives later as the Response(u code, a{sv} results) signal of the
// Request object the call names (0 granted, 1 cancelled by the person, 2
// ended otherwise). The Response is subscribed on the path predicted from
// the call's handle_token before the call is made, so that it cannot be
// missed. The dialog may stay open for as long as the person likes.
//
// The application registers first (org.freedesktop.host.portal.Registry,
// xdg-desktop-portal 1.19 and later; an older portal is fine without), so
// that the dialog and the desktop's settings name it by its desktop file.
class RemoteDesktopPortal final : public QObject {
    Q_OBJECT

public:
    enum class Outcome {
        kGranted, // fd is the EIS connection
        kRefused, // the person said no
        kUnavailable, // no portal, no keyboard, or a step failed: `why`
    };
    struct Result {
        Outcome outcome = Outcome::kUnavailable;
        int fd = -1; // owned by the receiver
        std::string why;
    };

    // Device types of the RemoteDesktop portal.
    static constexpr unsigned kKeyboard = 1;
    // persist_mode: kept until the person revokes it.
    static constexpr unsigned kPersistUntilRevoked = 2;

    // `busAddress` empty: no session bus, and every answer is "unavailable".
    RemoteDesktopPortal(QString busAddress, QString appId, RestoreTokenFile tokens);
    ~RemoteDesktopPortal() override;

    // Registers the application and asks, without asking the person,
    // whether the desktop offers the portal with a keyboard (its
    // AvailableDeviceTypes). Answers once.
    void Probe(std::function<void(bool offered, const std::string& why)> done);

    // CreateSession, SelectDevices (the keyboard only, kept until revoked,
    // with the stored restore token), Start with `parentWindow` ("x11:" and
    // the window id in hex), then ConnectToEIS once. The token that Start
    // returns replaces the stored one; a stored token that the portal
    // rejects is removed, and the person is asked once more without it.
    // Answers once; after a grant, `closed` is called when the desktop ends
    // the session (from its own indicator, say).
    void Request(QString parentWindow, std::function<void(Result)> done, std::function<void()> closed);

private Q_SLOTS:
    void OnResponse(uint code, const QVariantMap& results);
    void OnClosed(const QVariantMap& details);

private:
    enum class Step { kIdle, kCreateSession, kSelectDevices, kStart, kConnect, kGranted, kOver };
    bool Connect();
    void Register(std::function<void()> then);
    void CreateSession();
    void SelectDevices();
    void Start();
    void ConnectToEis();
    // Calls `method` on the RemoteDesktop interface with `options` plus a
    // fresh handle_token, subscribed to the Response at the predicted path first.
    void CallWithRequest(const QString& method, QList<QVariant> arguments, QVariantMap options);
    void Fail(Outcome outcome, const std::string& why);
    // A step with a stored token failed: ask again, once, without it.
    bool RetryWithoutToken();
    void Unsubscribe();
    QString NewToken();

    const QString busAddress_;
    const QString connectionName_;
    const QString appId_;
    const RestoreTokenFile tokens_;
    enum class Bus { kUntried, kConnected, kAbsent } bus_ = Bus::kUntried;
    bool registered_ = false;
    Step step_ = Step::kIdle;
    QString parentWindow_;
    QString requestPath_; // the Request whose Response is awaited
    QString sessionPath_;
    std::string offeredToken_; // sent with this try's SelectDevices
    bool retried_ = false;
    std::function<void(Result)> done_;
    std::function<void()> closed_;
};

} // namespace qz
