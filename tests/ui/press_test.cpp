// What one press does, with each option, through the real windows: the blank
// before every press, the lock-out, the LED, the keystrokes, closing at every
// yield, and errors that end the program.
#include "forms_fixture.h"

#include "timer/qt/qt_timer_layer.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

namespace qz::test {
namespace {

using namespace std::chrono_literals;

const ByteArray kLedPad7 {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF6, 0xAF};

void TickAll(frmMain& f)
{
    f.chkbLocked->setChecked(true);
    f.chkbLights->setChecked(true);
    f.chkSendKeyPresses->setChecked(true);
}

// --- Showing a press ---------------------------------------------------------

TEST_F(FormsTest, Pad7BuzzWithEveryOptionShowsLightsAndTypes)
{
    frmMain& f = Start();
    TickAll(f);
    Press(7, kBuzz);
    EXPECT_EQ(f.lblPad->text(), "7");
    EXPECT_EQ(f.lblButton->text(), "BUZZ");
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0], kLedPad7);
    EXPECT_EQ(TypedText(keys.Events()), "7BUZZ");
    EXPECT_TRUE(AllKeysReleased(keys.Events()));
    EXPECT_TRUE(f.Locked());
}

// Calls back on every paint of a widget.
class PaintSpy final : public QObject {
public:
    PaintSpy(QWidget& widget, std::function<void()> onPaint)
        : onPaint_(std::move(onPaint))
    {
        widget.installEventFilter(this);
    }
    bool eventFilter(QObject* /*watched*/, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            onPaint_();
        }
        return false;
    }

private:
    std::function<void()> onPaint_;
};

TEST_F(FormsTest, TheLedGoesOutBeforeTheValuesArePaintedAndTheyArePaintedBeforeTheFirstKey)
{
    frmMain& f = Start();
    f.chkbLights->setChecked(true);
    f.chkSendKeyPresses->setChecked(true);
    // The LED frames written and the key events sent when "7" is first painted.
    std::optional<std::pair<std::size_t, std::size_t>> atPaint;
    PaintSpy spy(*f.lblPad, [&] {
        if (!atPaint && f.lblPad->text() == "7") {
            atPaint.emplace(Writes().size(), keys.Events().size());
        }
    });
    Press(7, kBuzz);
    ASSERT_TRUE(atPaint);
    EXPECT_EQ(atPaint->first, 1u) << "the values were painted before the LED report went out";
    EXPECT_EQ(atPaint->second, 0u) << "a key was typed before the values were painted";
}

TEST_F(FormsTest, WithoutOptionsAPressOnlyShows)
{
    frmMain& f = Start();
    Press(12, kD);
    EXPECT_EQ(f.lblPad->text(), "12");
    EXPECT_EQ(f.lblButton->text(), "D");
    EXPECT_TRUE(Writes().empty());
    EXPECT_TRUE(keys.Events().empty());
    EXPECT_FALSE(f.Locked());
    EXPECT_FALSE(f.LockTimerRunning());
}

TEST_F(FormsTest, KeystrokesTypeEveryDigitOfThePadBeforeTheButton)
{
    frmMain& f = Start();
    f.chkSendKeyPresses->setChecked(true);
    Press(12, kA);
    EXPECT_EQ(TypedText(keys.Events()), "12A");
    Press(260, kB); // the largest pad a frame can name
    EXPECT_EQ(f.lblPad->text(), "260");
    EXPECT_EQ(TypedText(keys.Events()), "12A260B");
}

TEST_F(FormsTest, PoweredAndErrorAreShownLitAndTypedLikeAnyButton)
{
    frmMain& f = Start();
    f.chkbLights->setChecked(true);
    f.chkSendKeyPresses->setChecked(true);
    Press(7, kPowered);
    EXPECT_EQ(f.lblButton->text(), "POWERED");
    Press(7, kError);
    EXPECT_EQ(f.lblButton->text(), "ERROR");
    EXPECT_EQ(Writes().size(), 2u);
    EXPECT_EQ(TypedText(keys.Events()), "7POWERED7ERROR");
}

TEST_F(OneOrTwoScreens, EveryPressIsPrecededByABlankOnBothWindows)
{
    frmMain& f = Start();
    Press(7, kA);
    Press(7, kA); // the same press again shows as a blink
    Press(9, kB);
    ASSERT_EQ(atSleep.size(), 3u);
    for (const Shown& s : atSleep) {
        EXPECT_EQ(s.pad, "");
        EXPECT_EQ(s.button, "");
        if (s.hasSecondary) {
            EXPECT_EQ(s.secondaryPad, "");
            EXPECT_EQ(s.secondaryButton, "");
        }
    }
    // The blank was let paint before the pause.
    EXPECT_EQ(yields, 3);
    EXPECT_EQ(f.lblPad->text(), "9");
    EXPECT_EQ(f.Secondary()->lblPad->text(), "9");
    EXPECT_EQ(f.Secondary()->lblButton->text(), "B");
}

TEST_F(FormsTest, ClearBlanksBothWindowsAndSoDoesTheSecondClearButton)
{
    frmMain& f = Start();
    for (QPushButton* clear : {f.btnClear, f.Command1}) {
        Press(5, kC);
        ASSERT_EQ(f.Secondary()->lblPad->text(), "5");
        Click(clear);
        EXPECT_EQ(f.lblPad->text(), "");
        EXPECT_EQ(f.lblButton->text(), "");
        EXPECT_EQ(f.Secondary()->lblPad->text(), "");
        EXPECT_EQ(f.Secondary()->lblButton->text(), "");
    }
}

TEST_F(FormsTest, WithoutATransceiverTheWindowComesUpAndExits)
{
    FakeHidBus empty;
    form = std::make_unique<frmMain>(empty, timers, keys, hooks);
    form->show();
    ASSERT_NE(form->Device(), nullptr);
    EXPECT_FALSE(form->Device()->Ready());
    timers.Advance(1s);
    EXPECT_EQ(form->lblPad->text(), "");
    Click(form->btnExit);
    EXPECT_TRUE(form->Unloaded());
    EXPECT_TRUE(reported.empty());
    form.reset();
}

// --- The lock-out ------------------------------------------------------------

TEST_F(FormsTest, LockOutDropsPressesForFiveSecondsFromTheAcceptedOne)
{
    frmMain& f = Start();
    TickAll(f);
    Press(1, kA); // accepted at t0; the lock-out ends at t0 + 5000 ms
    const auto writes = Writes().size();
    const auto events = keys.Events().size();
    for (int i = 0; i < 10; ++i) {
        timers.Advance(400ms);
        Press(2, kB); // dropped: nothing changes, and the end does not move
    }
    EXPECT_EQ(f.lblPad->text(), "1");
    EXPECT_EQ(f.lblButton->text(), "A");
    EXPECT_EQ(Writes().size(), writes);
    EXPECT_EQ(keys.Events().size(), events);
    EXPECT_EQ(atSleep.size(), 1u);
    EXPECT_TRUE(f.Locked());

    timers.Advance(5000ms - 10 * 430ms - 1ms); // 1 ms before the end
    EXPECT_TRUE(f.Locked());
    timers.Advance(1ms);
    EXPECT_FALSE(f.Locked());
    EXPECT_FALSE(f.LockTimerRunning());

    Press(3, kC); // accepted, and starts a new lock-out
    EXPECT_EQ(f.lblPad->text(), "3");
    EXPECT_TRUE(f.Locked());
}

TEST_F(FormsTest, UntickingDuringALockOutDoesNotEndIt)
{
    frmMain& f = Start();
    f.chkbLocked->setChecked(true);
    Press(1, kA);
    Click(f.chkbLocked);
    ASSERT_FALSE(f.chkbLocked->isChecked());
    timers.Advance(2s);
    Press(2, kB);
    EXPECT_EQ(f.lblPad->text(), "1");
    timers.Advance(3s);
    EXPECT_FALSE(f.Locked());
    Press(2, kB);
    EXPECT_EQ(f.lblPad->text(), "2");
    EXPECT_FALSE(f.Locked()); // the box is clear now: no new lock-out
}

TEST_F(FormsTest, TickingTheBoxDoesNotStartALockOut)
{
    frmMain& f = Start();
    Click(f.chkbLocked);
    ASSERT_TRUE(f.chkbLocked->isChecked());
    EXPECT_FALSE(f.Locked());
    EXPECT_FALSE(f.LockTimerRunning());
    Press(4, kD);
    EXPECT_EQ(f.lblPad->text(), "4");
}

TEST_F(FormsTest, ClearDuringALockOutBlanksButKeepsTheLockOut)
{
    frmMain& f = Start();
    f.chkbLocked->setChecked(true);
    Press(6, kA);
    Click(f.btnClear);
    EXPECT_EQ(f.lblPad->text(), "");
    EXPECT_EQ(f.Secondary()->lblPad->text(), "");
    EXPECT_TRUE(f.Locked());
    Press(8, kB);
    EXPECT_EQ(f.lblPad->text(), "");
}

// --- Closing at a yield ------------------------------------------------------

// Closes the window the way `how` says: 0 Exit, 1 "EXIT", 2 the close command.
void CloseBy(frmMain& f, int how)
{
    switch (how) {
    case 0:
        f.btnExit->click();
        break;
    case 1:
        f.Secondary()->Command1->click();
        break;
    default:
        f.windowHandle()->close();
        break;
    }
}

TEST_F(OneOrTwoScreens, ClosingAtTheBlankStopsThePressCold)
{
    for (int how = 0; how < 3; ++how) {
        SCOPED_TRACE(how);
        frmMain& f = Start();
        TickAll(f);
        Press(3, kA);
        keys.TakeEvents();
        const auto writes = Writes().size();
        timers.Advance(5s);
        // A click already queued runs at the yield before the pause.
        atYield = [&] {
            if (how == 0) {
                QueueClick(f.btnExit);
            } else if (how == 1) {
                QueueClick(f.Secondary()->Command1);
            } else {
                QTimer::singleShot(0, f.windowHandle(), [&f] { f.windowHandle()->close(); });
            }
        };
        Press(7, kBuzz);
        EXPECT_TRUE(f.Unloaded());
        EXPECT_TRUE(atSleep.size() == 1u) << "no pause after the close";
        EXPECT_EQ(f.lblPad->text(), ""); // the blank stays: no label change after closing
        EXPECT_EQ(Writes().size(), writes);
        EXPECT_TRUE(keys.Events().empty());
        EXPECT_EQ(bus.OpenHandleCount(), 0u);
        EXPECT_TRUE(reported.empty());
        form.reset();
        atSleep.clear();
    }
}

TEST_F(OneOrTwoScreens, ClosingWhileTypingStopsTheRestOfTheText)
{
    // "7" then "BUZZ": a yield after each of the five characters.
    for (int at = 1; at <= 5; ++at) {
        for (int how = 0; how < 3; ++how) {
            SCOPED_TRACE("yield " + std::to_string(at) + ", close " + std::to_string(how));
            frmMain& f = Start();
            TickAll(f);
            keys.TakeEvents();
            int seen = 0;
            keys.onProcessEvents = [&] {
                if (++seen == at) {
                    CloseBy(f, how);
                }
            };
            Press(7, kBuzz);
            keys.onProcessEvents = nullptr;
            EXPECT_TRUE(f.Unloaded());
            EXPECT_EQ(TypedText(keys.Events()), std::string("7BUZZ").substr(0, static_cast<std::size_t>(at)));
            EXPECT_TRUE(AllKeysReleased(keys.Events()));
            EXPECT_EQ(seen, at) << "no yield after the close";
            EXPECT_EQ(f.lblPad->text(), "7");
            EXPECT_EQ(bus.OpenHandleCount(), 0u);
            form.reset();
            keys.TakeEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
}

TEST_F(OneOrTwoScreens, ClosingAtTheBlankOnQtsOwnTimers)
{
    // The poll step runs from Qt's event loop and is still on the stack when
    // the close releases the link that runs it.
    QtTimerLayer qtTimers;
    form = std::make_unique<frmMain>(bus, qtTimers, keys, hooks);
    form->show();
    form->chkbLights->setChecked(true);
    atYield = [this] { QueueClick(form->btnExit); };
    device->QueueReport(FrameReport(7, kBuzz));
    EXPECT_TRUE(QTest::qWaitFor([this] { return form->Unloaded(); }, 2000));
    EXPECT_EQ(form->lblPad->text(), "");
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
    QTest::qWait(100); // no tick after the release
    form.reset();
}

TEST_F(FormsTest, APressOnQtsOwnTimersShowsAndLocksOut)
{
    QtTimerLayer qtTimers;
    form = std::make_unique<frmMain>(bus, qtTimers, keys, hooks);
    form->show();
    form->chkbLocked->setChecked(true);
    device->QueueReport(FrameReport(21, kA));
    ASSERT_TRUE(QTest::qWaitFor([this] { return form->lblPad->text() == "21"; }, 2000));
    EXPECT_TRUE(form->Locked());
    EXPECT_TRUE(form->LockTimerRunning());
    device->QueueReport(FrameReport(22, kB));
    QTest::qWait(200);
    EXPECT_EQ(form->lblPad->text(), "21");
    form.reset();
}

// --- Errors ------------------------------------------------------------------

// Throws an error status from the n-th key event, as a failing layer would.
class FailingKeys final : public KeyInjector {
public:
    explicit FailingKeys(KeyInjector& target, int failAt)
        : target_(target)
        , failAt_(failAt)
    {
    }
    std::int16_t KeyForCharacter(std::uint8_t c) override { return target_.KeyForCharacter(c); }
    std::uint32_t ScanCode(std::int32_t vk) override { return target_.ScanCode(vk); }
    std::uint32_t KeyCharacter(std::int32_t vk) override { return target_.KeyCharacter(vk); }
    std::int16_t KeyState(std::int32_t vk) override { return target_.KeyState(vk); }
    void SendKeyEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) override
    {
        if (++count_ == failAt_) {
            throw Error::Overflow("key event " + std::to_string(count_));
        }
        target_.SendKeyEvent(vk, scan, flags);
    }
    void Pause(std::chrono::milliseconds d) override { target_.Pause(d); }
    void ProcessPendingEvents() override { target_.ProcessPendingEvents(); }

private:
    KeyInjector& target_;
    int failAt_;
    int count_ = 0;
};

TEST_F(FormsTest, AnErrorLeavingThePressHandlerEndsTheProgramWithAReport)
{
    FailingKeys failing(keys, 3);
    form = std::make_unique<frmMain>(bus, timers, failing, hooks);
    form->show();
    form->chkSendKeyPresses->setChecked(true);
    Press(7, kBuzz);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].Number(), 6);
    EXPECT_EQ(exitStatuses, std::vector<int> {1});
    EXPECT_TRUE(form->Unloaded());
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
    // Nothing further runs: the poll timer went with the link.
    EXPECT_EQ(timers.RunningCount(), 0u);
}

TEST_F(FormsTest, TheErrorReportNamesTheNumberAndTheText)
{
    FailingKeys failing(keys, 1);
    hooks.reportError = nullptr; // the program's own message box
    form = std::make_unique<frmMain>(bus, timers, failing, hooks);
    form->show();
    form->chkSendKeyPresses->setChecked(true);
    QString shown;
    QTimer watcher;
    watcher.callOnTimeout([&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            box->accept();
            watcher.stop();
        }
    });
    watcher.start(10);
    Press(7, kBuzz);
    EXPECT_TRUE(shown.contains("6")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("Overflow")) << shown.toStdString();
    EXPECT_EQ(exitStatuses, std::vector<int> {1});
}

TEST_F(FormsTest, AnLedFrameTheTransceiverCannotCarryLeavesThePressStanding)
{
    // Input reports of 7 bytes: ReportBuffer has 8, one short of an LED frame.
    FakeHidBus shortBus;
    FakeHidDevice& shortDevice = shortBus.AddDevice(Transceiver::kVendorId, Transceiver::kFrameModelProductId, 7, 9);
    form = std::make_unique<frmMain>(shortBus, timers, keys, hooks);
    form->show();
    TickAll(*form);
    shortDevice.QueueReport(FrameReport(7, kBuzz));
    timers.Advance(30ms);
    EXPECT_TRUE(reported.empty());
    EXPECT_TRUE(exitStatuses.empty());
    EXPECT_EQ(form->lblPad->text(), "7");
    EXPECT_EQ(form->lblButton->text(), "BUZZ");
    EXPECT_TRUE(shortDevice.Writes().empty());
    EXPECT_EQ(TypedText(keys.Events()), "7BUZZ");
    EXPECT_FALSE(form->Unloaded());
    form.reset(); // before the bus it runs on
}

} // namespace
} // namespace qz::test
