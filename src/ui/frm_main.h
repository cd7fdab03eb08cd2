#pragma once

#include "common/error.h"
#include "decode/transceiver_data.h"
#include "link/open_failure.h"
#include "timer/self_timer.h"
#include "ui/desktop_notifier.h"
#include "ui/form_style.h"
#include "ui/frm_secondary.h"
#include "ui/gated_key_injector.h"
#include "ui/outer_geometry.h"

#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace qz {

class HidLayer;
class KeyInjector;
class TimerLayer;
class Transceiver;
class clsKeyboard;

// The full-screen, topmost main window and the program's controller: it owns
// the transceiver link (Dev) and the keystroke sender (Kbd), shows every
// accepted press in large type, mirrors it to the audience window, and acts
// on the three options, Clear and Exit.
//
// The window object must outlive the event loop that runs it: closing it
// releases Dev and ends the program but never deletes the window, because a
// press handler may still be on the stack below a yield.
class frmMain final : public QWidget {
public:
    // What the window asks of its surroundings. Tests replace these; empty
    // members get the program's own behaviour.
    struct Hooks {
        // Lets queued user-interface events run (default: Qt's processEvents).
        std::function<void()> processEvents;
        // Blocks the thread (default: sleeps).
        std::function<void(std::chrono::milliseconds)> sleep;
        // Tells the user about the error that ends the program (default: a
        // line on standard error and a message box).
        std::function<void(const Error&)> reportError;
        // Ends the event loop with a status (default: QCoreApplication::exit).
        std::function<void(int)> exitProgram;
        // Tells the user that a transceiver is there but cannot be opened;
        // the link calls it once per node (default: nowhere; the program
        // prints one line on standard error).
        std::function<void(const OpenFailure&)> openFailure;
        // Tells the user that no transceiver was found at start (default:
        // nowhere; the program prints one line on standard error).
        std::function<void()> noTransceiver;
        // Where a missing transceiver, and open failures that leave none
        // open, are also told, once per run each (default: nowhere).
        std::shared_ptr<DesktopNotifier> notifier;
        // Called when "Enable Keypress Events" is ticked for the first time
        // in the run: the desktop may have to be asked whether the program
        // may type (default: nothing).
        std::function<void()> firstKeysTick;
    };

    // The load step: creates Dev on `hid` and `timers` and Kbd on `keys`,
    // shows the audience window when there are two or more monitors, sizes
    // this window to the primary screen and makes it topmost. Show it next.
    frmMain(HidLayer& hid, TimerLayer& timers, KeyInjector& keys, Hooks hooks = {});
    ~frmMain() override;

    // The controls, for the window's own wiring and for tests.
    QLabel* const lblPadPrompt;
    ValueLabel* const lblPad;
    QLabel* const Label2; // the "Button:" prompt beside lblButton
    ValueLabel* const lblButton;
    QCheckBox* const chkbLocked;
    QCheckBox* const chkSendKeyPresses;
    QCheckBox* const chkbLights;
    QPushButton* const btnClear;
    QPushButton* const btnExit;
    QPushButton* const Command1; // "Clear" in the top left corner: clears the display, as btnClear does

    // The audience window, or null while none exists.
    frmSecondary* Secondary() const;
    // The link, or null once the window has closed.
    Transceiver* Device() const { return Dev.get(); }
    bool Locked() const { return bLocked; }
    bool LockTimerRunning() const { return timerLocked.Running(); }
    // True once the close step has run.
    bool Unloaded() const { return unloaded_; }

    // Gives up or takes back the stay-on-top hint, without hiding the
    // window: a dialog of the desktop's that asks the person about this
    // program must not open beneath it.
    void KeepOnTop(bool onTop);
    // The window as a desktop portal names a parent ("x11:" and the X window
    // id in hex); empty on a platform without X11 windows.
    QString ParentWindowHandle();

    static constexpr std::chrono::milliseconds kLockout {5000};
    static constexpr std::chrono::milliseconds kBlankPause {100};
    // The program's name, as its messages begin.
    static constexpr const char* kProgramName = "qz470-tester";

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void SetupControls();
    void SetupConnections();
    void WireSecondary(frmSecondary& form);
    void Form_Load(HidLayer& hid, TimerLayer& timers);
    void Form_Unload();

    void Dev_OnButtonPressed(TransceiverData& TRData);
    void Dev_OnOpenFailures(const std::vector<OpenFailure>& failures, bool opened);
    void TellNoTransceiver();
    void ShowPress(std::int16_t remote, const std::string& button);
    void timerLocked_Timer(Seconds seconds);
    void btnClear_Click();
    void btnExit_Click();
    void Command1_Click();
    void Secondary_Command1_Click();
    void ClearDisplay();

    // Mirror: a change of a value label is copied to the audience window.
    void SetPadText(const QString& text);
    void SetButtonText(const QString& text);
    frmSecondary& LoadSecondary();
    void PaintValues();

    // Lets queued events run; false when the window closed meanwhile, so that
    // the caller stops touching anything.
    bool Yield();
    bool Stopped() const { return unloaded_ || ending_; }

    // The boundary of every handler the event loop reaches: an error status
    // that leaves the handler ends the program with a report.
    template <typename Body> void Guarded(Body&& body) noexcept;
    void EndWithError(const Error& error) noexcept;
    void DefaultReportError(const Error& error);

    Hooks hooks_;
    GatedKeyInjector keyGate_;
    std::unique_ptr<Transceiver> Dev;
    std::unique_ptr<clsKeyboard> Kbd;
    SelfTimer timerLocked;
    bool bLocked = false;
    bool unloaded_ = false;
    bool ending_ = false;
    bool keysTicked_ = false; // "Enable Keypress Events" was ticked in this run
    // Set once a search ended with none open past a transceiver that would
    // not open: its notice went out, and a refused transceiver is not also
    // reported as missing.
    bool openFailureTold_ = false;
    QPointer<frmSecondary> secondary_;
    OuterGeometry outer_;
};

} // namespace qz
