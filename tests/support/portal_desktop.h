#pragma once

// The desktop's RemoteDesktop portal for a test: the real xdg-desktop-portal
// frontend and its permission store on a private session bus, with a
// backend of the test's own behind it (org.freedesktop.impl.portal.
// RemoteDesktop), so that the frontend's own rules apply to the program
// under test: Request handles, registration, restore tokens. The backend
// records every call, answers Start as the test says (the person grants,
// refuses, or takes their time), and hands out the EIS connection the test
// provides: an EIS server of its own, or a real compositor's.

#include "session_bus.h"

#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qz::test {

class PortalBackend final : public QDBusVirtualObject {
public:
    struct Call {
        QString method; // CreateSession, SelectDevices, Start, ConnectToEIS
        QString appId;
        QString parentWindow; // Start only
        QVariantMap options;
    };
    // Start is granted at once; held, it stays open until Release().
    bool holdStart = false;
    // The EIS connection for ConnectToEIS; -1 fails the call.
    std::function<int()> eisConnection;

    std::vector<Call> Calls() const;
    // Waits until `method` was called `times` times in all; false when that
    // did not come within 20 s.
    bool WaitForCall(const QString& method, int times = 1) const;
    // Answers a held Start: granted or refused.
    void Release(bool grant);
    // Ends every session, as the desktop's own indicator does.
    void CloseSessions();

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    friend class PortalDesktop;
    PortalBackend(QString connectionName, unsigned availableTypes)
        : connectionName_(std::move(connectionName))
        , availableTypes_(availableTypes)
    {
    }
    void Answer(const QDBusMessage& start, bool grant);

    const QString connectionName_;
    const unsigned availableTypes_; // the portal's AvailableDeviceTypes
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<QString> sessions_;
    std::vector<QDBusMessage> held_;
};

class PortalDesktop {
public:
    static constexpr const char* kBackendName = "org.freedesktop.impl.portal.desktop.qztest";

    struct Options {
        bool frontend = true; // false: a bus with no portal at all
        unsigned availableTypes = 1; // the backend's AvailableDeviceTypes: 1 keyboard, 2 pointer
        // The program under test as installed, as the frontend checks it
        // when the program registers its name: its binary's folder on the
        // PATH, its desktop file among the applications.
        QString program;
        QString desktopFile;
    };

    // The bus, the permission store (state under `home`), the backend and
    // the frontend, which reads the backend as it starts. nullptr when
    // something cannot start; `why` says why.
    static std::unique_ptr<PortalDesktop> Start(const QString& home, const Options& options, std::string& why);
    ~PortalDesktop();

    const QString& BusAddress() const { return bus_->Address(); }
    PortalBackend& Backend() { return *backend_; }
    // What the frontend said, for a failed test's message.
    QString FrontendLog();

private:
    PortalDesktop() = default;
    std::unique_ptr<PrivateSessionBus> bus_;
    QTemporaryDir config_;
    QProcess store_;
    QProcess frontend_;
    std::unique_ptr<PortalBackend> backend_;
};

} // namespace qz::test
