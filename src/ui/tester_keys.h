#pragma once

#include "keyboard/key_sink.h"
#include "keyboard/sink_choice.h"
#include "keyboard/switchable_key_injector.h"
#include "keyboard/xkb/x11_layout.h"
#include "ui/desktop_notifier.h"

#include <QString>

#include <functional>
#include <memory>

namespace qz {

class EiSession;

// The key-injection layer the tester types through, and the choice of its
// sink: XTest on X11; on a Wayland session the desktop's emulated-input
// server through its RemoteDesktop portal (where built with libei), else the
// uinput virtual keyboard when /dev/uinput opens, else XTest; QZ470_KEY_SINK
// forces one. When the sink the session calls for cannot be had, one line
// on standard error says so and names the fix.
//
// uinput and XTest are opened at start, so that a compositor has added the
// virtual keyboard long before the first key. The portal is only probed at
// start (does the desktop offer it with a keyboard? no dialog); the person
// is asked when "Enable Keypress Events" is first ticked (FirstTick). Until
// the answer, keys are looked up but not typed. A refusal, or the desktop
// ending the permission later, types nothing for the rest of the run, by any
// sink, and is said once: a line on standard error and a notification. A
// portal that is missing or fails falls back to uinput or XTest.
class TesterKeys {
public:
    TesterKeys(std::function<void()> processPendingEvents, std::shared_ptr<DesktopNotifier> notifier,
        const QString& busAddress);
    ~TesterKeys();
    TesterKeys(const TesterKeys&) = delete;
    TesterKeys& operator=(const TesterKeys&) = delete;

    KeyInjector& Injector() { return injector_; }

    // "Enable Keypress Events" was ticked for the first time; `parentWindow`
    // names the window the desktop's dialog belongs to.
    void FirstTick(const QString& parentWindow);
    // Told true while the desktop's dialog may be open, false after.
    std::function<void(bool pending)> onPermissionPending;

private:
    friend class EiSession;
    // The sink of uinput or XTest, as the request and the ei outcome call for.
    void ChooseFallback(const std::string& eiWhy);
    void Refused(bool closedLater);

    X11Layout layout_;
    KeySinkRequest request_;
    std::shared_ptr<DesktopNotifier> notifier_;
    NoKeySink none_;
    std::unique_ptr<KeySink> sink_;
    bool refused_ = false;
    std::unique_ptr<EiSession> ei_; // where built with libei and wanted
    // Last: it goes first and lets go of held keys into a sink still there.
    SwitchableKeyInjector injector_;
};

} // namespace qz
