#include "ui/frm_main.h"

#include "keyboard/keyboard.h"
#include "link/transceiver.h"
#include "ui/monitor_enum.h"
#include "ui/twips.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QMessageBox>
#include <QShortcut>
#include <QWindow>

#include <cstdio>
#include <string>
#include <thread>
#include <utility>

// Resources are compiled into this static library; their registration has to
// be pulled in by a call from outside any namespace.
static void InitUiResources()
{
    Q_INIT_RESOURCE(ui);
}

namespace qz {

namespace {

// A fixed frame with a caption, minimise and close but no maximise. It stays
// above all other windows, so that nothing covers the display during a quiz.
constexpr Qt::WindowFlags kMainWindowFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
    | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint;

QString DecimalText(std::int16_t value)
{
    return QString::number(value);
}

} // namespace

frmMain::frmMain(HidLayer& hid, TimerLayer& timers, KeyInjector& keys, Hooks hooks)
    : QWidget(nullptr, kMainWindowFlags)
    , lblPadPrompt(new QLabel(QStringLiteral("Pad:"), this))
    , lblPad(new ValueLabel(140.25, this))
    , Label2(new QLabel(QStringLiteral("Button:"), this))
    , lblButton(new ValueLabel(110.25, this))
    , chkbLocked(new QCheckBox(QStringLiteral("Lockout buzzers for 5 seconds"), this))
    , chkSendKeyPresses(new QCheckBox(QStringLiteral("Enable Keypress Events"), this))
    , chkbLights(new QCheckBox(QStringLiteral("Turn on LED lights"), this))
    , btnClear(new QPushButton(QStringLiteral("Clear"), this))
    , btnExit(new QPushButton(QStringLiteral("Exit"), this))
    , Command1(new QPushButton(QStringLiteral("Clear"), this))
    , hooks_(std::move(hooks))
    , keyGate_(keys)
    , timerLocked(timers)
{
    InitUiResources();
    if (!hooks_.processEvents) {
        hooks_.processEvents = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
    }
    if (!hooks_.sleep) {
        hooks_.sleep = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
    }
    if (!hooks_.reportError) {
        hooks_.reportError = [this](const Error& error) { DefaultReportError(error); };
    }
    if (!hooks_.exitProgram) {
        hooks_.exitProgram = [](int status) { QCoreApplication::exit(status); };
    }
    SetupControls();
    SetupConnections();
    Form_Load(hid, timers);
}

frmMain::~frmMain()
{
    // The audience window has no parent; one that was never closed, or whose
    // deferred deletion the ended event loop did not get to, goes with us.
    delete secondary_.data();
}

void frmMain::SetupControls()
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("QZ470 Tester"));
    setWindowIcon(QIcon(QStringLiteral(":/qz470-tester/qz470-tester.png")));
    PaintFormBackground(*this);
    // Only closing the main window ends the program (the audience window
    // does not take part); see Form_Unload.
    setAttribute(Qt::WA_QuitOnClose, true);

    lblPadPrompt->setObjectName(QStringLiteral("lblPadPrompt"));
    StylePromptLabel(*lblPadPrompt, 80.25);
    lblPadPrompt->setGeometry(TwipsRect(675, 1095, 5130, 1725));

    lblPad->setObjectName(QStringLiteral("lblPad"));
    lblPad->setGeometry(TwipsRect(5850, 360, 5850, 3195));
    lblPad->setAccessibleDescription(QStringLiteral("Pad number of the last press"));

    Label2->setObjectName(QStringLiteral("Label2"));
    StylePromptLabel(*Label2, 80.25);
    Label2->setGeometry(TwipsRect(30, 3840, 5775, 1920));

    lblButton->setObjectName(QStringLiteral("lblButton"));
    lblButton->setGeometry(TwipsRect(5850, 3660, 5850, 2535));
    lblButton->setAccessibleDescription(QStringLiteral("Button of the last press"));

    const struct {
        QCheckBox* box;
        const char* name;
        QRect rect;
    } boxes[] = {
        {chkbLocked, "chkbLocked", TwipsRect(3000, 6360, 5490, 495)},
        {chkSendKeyPresses, "chkSendKeyPresses", TwipsRect(3007, 6840, 5730, 495)},
        {chkbLights, "chkbLights", TwipsRect(3000, 7320, 5730, 495)},
    };
    for (const auto& entry : boxes) {
        entry.box->setObjectName(QString::fromLatin1(entry.name));
        entry.box->setFont(ArialBold(9.75));
        entry.box->setChecked(false); // no option survives from one run to the next
        entry.box->setGeometry(entry.rect);
    }

    btnClear->setObjectName(QStringLiteral("btnClear"));
    StyleWhiteButton(*btnClear, 20.25);
    btnClear->setGeometry(TwipsRect(3345, 7800, 1995, 885));

    btnExit->setObjectName(QStringLiteral("btnExit"));
    StyleWhiteButton(*btnExit, 20.25);
    btnExit->setGeometry(TwipsRect(6090, 7800, 1995, 885));

    Command1->setObjectName(QStringLiteral("Command1"));
    StyleWhiteButton(*Command1, 20.25);
    Command1->setGeometry(TwipsRect(0, 0, 1995, 885));

    // Keyboard order: Exit, Clear, the three options, the second Clear.
    setTabOrder(btnExit, btnClear);
    setTabOrder(btnClear, chkSendKeyPresses);
    setTabOrder(chkSendKeyPresses, chkbLocked);
    setTabOrder(chkbLocked, chkbLights);
    setTabOrder(chkbLights, Command1);
    btnExit->setFocus();
}

// Every event source in one place. Clicks come through Qt signals, Dev's
// presses and the lock-out timer's ticks through their std::function
// listeners; each lands in a handler that guards its own boundary.
void frmMain::SetupConnections()
{
    connect(btnClear, &QPushButton::clicked, this, &frmMain::btnClear_Click);
    connect(btnExit, &QPushButton::clicked, this, &frmMain::btnExit_Click);
    connect(Command1, &QPushButton::clicked, this, &frmMain::Command1_Click);
    // Ctrl+Q, the usual quit shortcut on Linux desktops, closes the window like
    // Exit does. Spelled out: not every platform theme binds QKeySequence::Quit.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &frmMain::btnExit_Click);
    timerLocked.SetTimerHandler([this](Seconds seconds) { timerLocked_Timer(seconds); });
    // The first tick of a run may have to ask the desktop for permission to
    // type; the options start unticked, so nobody who never types is asked.
    connect(chkSendKeyPresses, &QCheckBox::toggled, this, [this](bool ticked) {
        Guarded([&] {
            if (ticked && !keysTicked_) {
                keysTicked_ = true;
                if (hooks_.firstKeysTick) {
                    hooks_.firstKeysTick();
                }
            }
        });
    });
}

void frmMain::KeepOnTop(bool onTop)
{
    Qt::WindowFlags flags = windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, onTop);
    if (flags == windowFlags()) {
        return;
    }
    // QWidget::setWindowFlags would hide the window; the platform window
    // takes the new hint while it stays mapped.
    overrideWindowFlags(flags);
    if (QWindow* window = windowHandle()) {
        window->setFlags(flags);
    }
}

QString frmMain::ParentWindowHandle()
{
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
        return {};
    }
    return QStringLiteral("x11:") + QString::number(static_cast<qulonglong>(winId()), 16);
}

void frmMain::WireSecondary(frmSecondary& form)
{
    connect(form.Command1, &QPushButton::clicked, this, &frmMain::Secondary_Command1_Click);
}

void frmMain::Form_Load(HidLayer& hid, TimerLayer& timers)
{
    // The link finds and opens the transceiver and starts polling; every
    // press it decodes comes to Dev_OnButtonPressed, and the transceivers it
    // cannot open come to Dev_OnOpenFailures at the end of the search.
    // Without a usable transceiver no press will ever show, so the user is
    // told why.
    Dev = std::make_unique<Transceiver>(hid, timers,
        [this](const std::vector<OpenFailure>& failures, bool opened) { Dev_OnOpenFailures(failures, opened); });
    Dev->SetButtonPressedHandler([this](TransceiverData& TRData) { Dev_OnButtonPressed(TRData); });
    if (!Dev->Ready() && !openFailureTold_) {
        TellNoTransceiver();
    }
    // Keystrokes go through a gate that closing the window shuts, so that a
    // press still being typed then types nothing more.
    Kbd = std::make_unique<clsKeyboard>(keyGate_);
    // With a second monitor the audience window is shown at once, 60 twips
    // past the primary screen's right edge: on the monitor to its right.
    const QRect primary = PrimaryScreenRect();
    if (GetMonitorCount() > 1) {
        frmSecondary& secondary = LoadSecondary();
        secondary.SetLeft(primary.x() + primary.width() + TwipsToPixels(60));
        secondary.show();
    }
    // The window covers the primary screen exactly, frame and caption
    // included: its outer size is the screen's, centred on it.
    outer_.SetTarget(*this, primary);
    // The lock-out lasts 5 s; it stays off until a press is accepted while
    // its box is ticked.
    timerLocked.SetEnabled(false);
    timerLocked.SetInterval(static_cast<std::int32_t>(kLockout.count()));
}

// The end of a search that met transceivers the link could not open: a line
// for each. When the search ended with none open, no press will show, and a
// program started from the menu has no terminal for its standard error: the
// desktop is told too, once per run, as of a missing transceiver. One that
// opened past a refused one shows presses, and the desktop hears nothing.
void frmMain::Dev_OnOpenFailures(const std::vector<OpenFailure>& failures, bool opened)
{
    if (hooks_.openFailure) {
        for (const OpenFailure& failure : failures) {
            hooks_.openFailure(failure);
        }
    }
    if (opened || openFailureTold_) {
        return;
    }
    if (hooks_.notifier != nullptr) {
        hooks_.notifier->Notify(OpenFailureNotice(failures.front(), kProgramName));
    }
    openFailureTold_ = true;
}

void frmMain::TellNoTransceiver()
{
    if (hooks_.noTransceiver) {
        hooks_.noTransceiver();
    }
    if (hooks_.notifier != nullptr) {
        hooks_.notifier->Notify(NoTransceiverNotice(kProgramName));
    }
}

frmSecondary* frmMain::Secondary() const
{
    return secondary_ && !secondary_->Closed() ? secondary_.data() : nullptr;
}

frmSecondary& frmMain::LoadSecondary()
{
    if (frmSecondary* existing = Secondary()) {
        return *existing;
    }
    // A closed window is already on its way out: the event loop deletes it.
    secondary_ = new frmSecondary();
    WireSecondary(*secondary_);
    return *secondary_;
}

template <typename Body> void frmMain::Guarded(Body&& body) noexcept
{
    if (Stopped()) {
        return;
    }
    try {
        body();
    } catch (const Error& error) {
        EndWithError(error);
    }
}

void frmMain::Dev_OnButtonPressed(TransceiverData& TRData)
{
    // The record belongs to Dev, and Dev may be released at a yield: keep
    // copies of what the handler needs.
    const std::int16_t remote = TRData.Remote();
    const std::string button = TRData.Button();
    Guarded([&] { ShowPress(remote, button); });
}

void frmMain::ShowPress(std::int16_t remote, const std::string& button)
{
    // A press during a lock-out is dropped, and the lock-out is not extended:
    // it ends 5 s after the press that started it.
    if (bLocked) {
        return;
    }
    // Started before the pause and the typing, so that the 5 s count from
    // the moment the press arrived.
    if (chkbLocked->isChecked()) {
        timerLocked.SetEnabled(true);
        bLocked = true;
    }
    // Blank both windows and let them paint before the new values, so that
    // the same press twice shows as a blink.
    SetPadText(QString());
    SetButtonText(QString());
    if (!Yield()) {
        return;
    }
    hooks_.sleep(kBlankPause);
    const QString padText = DecimalText(remote);
    SetPadText(padText);
    SetButtonText(QString::fromStdString(button));
    // The LED report goes out first: painting both windows in huge type
    // would hold it up by a few milliseconds. The pad number and the report
    // length come from the device: a pad no LED report can carry, or a
    // transceiver whose reports are too short for an LED frame, leaves the
    // LED dark but does not end the program.
    if (chkbLights->isChecked()) {
        try {
            Dev->LEDOnShort(remote);
        } catch (const Error&) {
        }
    }
    // Paint the values now rather than at the next yield: with keystrokes
    // on, that would come only after the first character and its pause.
    PaintValues();
    // Type the pad number, then the button. Each character lets queued
    // events run; a close among them shuts the gate, and this handler stops.
    if (chkSendKeyPresses->isChecked()) {
        const bool bDoEvents = true;
        Kbd->PressString(padText.toStdString(), bDoEvents);
        if (Stopped()) {
            return;
        }
        Kbd->PressString(button, bDoEvents);
    }
}

bool frmMain::Yield()
{
    hooks_.processEvents();
    return !Stopped();
}

void frmMain::timerLocked_Timer(Seconds /*seconds*/)
{
    Guarded([&] {
        timerLocked.SetEnabled(false);
        bLocked = false;
    });
}

void frmMain::ClearDisplay()
{
    // The lock-out is left as it is.
    SetPadText(QString());
    SetButtonText(QString());
}

void frmMain::btnClear_Click()
{
    Guarded([&] { ClearDisplay(); });
}

void frmMain::Command1_Click()
{
    Guarded([&] { ClearDisplay(); });
}

void frmMain::btnExit_Click()
{
    Guarded([&] {
        close();
        if (frmSecondary* secondary = Secondary()) {
            secondary->close();
        }
    });
}

void frmMain::Secondary_Command1_Click()
{
    // "EXIT": the main window first (it releases the link), then this one.
    QPointer<frmSecondary> secondary = secondary_;
    Guarded([&] {
        close();
        if (secondary && !secondary->Closed()) {
            secondary->close();
        }
    });
}

void frmMain::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void frmMain::Form_Unload()
{
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    // A PressString still on the stack types nothing more.
    keyGate_.Close();
    timerLocked.SetEnabled(false);
    // Releasing Dev stops its poll timer and closes the transceiver; it may
    // run inside Dev's own poll step, which the link allows. No LED is
    // switched off.
    Dev.reset();
    if (frmSecondary* secondary = Secondary()) {
        secondary->close();
    }
}

void frmMain::SetPadText(const QString& text)
{
    if (lblPad->text() == text) {
        return;
    }
    lblPad->SetText(text);
    LoadSecondary().lblPad->SetText(text);
}

void frmMain::SetButtonText(const QString& text)
{
    if (lblButton->text() == text) {
        return;
    }
    lblButton->SetText(text);
    LoadSecondary().lblButton->SetText(text);
}

void frmMain::PaintValues()
{
    lblPad->repaint();
    lblButton->repaint();
    if (frmSecondary* secondary = Secondary(); secondary != nullptr && secondary->isVisible()) {
        secondary->lblPad->repaint();
        secondary->lblButton->repaint();
    }
}

void frmMain::EndWithError(const Error& error) noexcept
{
    if (ending_) {
        return;
    }
    ending_ = true;
    keyGate_.Close();
    timerLocked.SetEnabled(false);
    // No further press can arrive while the report is up.
    Dev.reset();
    try {
        hooks_.reportError(error);
    } catch (...) {
        // The program ends whatever the report did.
    }
    close();
    hooks_.exitProgram(1);
}

void frmMain::DefaultReportError(const Error& error)
{
    const QString text = QString::fromStdString(error.Text());
    std::fprintf(stderr, "qz470-tester: error %d: %s\n", error.Number(), text.toLocal8Bit().constData());
    QMessageBox box(QMessageBox::Critical, windowTitle(), QStringLiteral("Error %1: %2").arg(error.Number()).arg(text),
        QMessageBox::Ok, isVisible() ? this : nullptr);
    box.setInformativeText(QStringLiteral("The program will now close."));
    box.exec();
}

void frmMain::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    outer_.FrameMayHaveChanged(*this);
}

void frmMain::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    outer_.FrameMayHaveChanged(*this);
}

} // namespace qz
