// The main and audience windows as a user meets them: layout, start-up on one
// and on two monitors, and closing.
#include "forms_fixture.h"

#include "ui/monitor_enum.h"

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

namespace qz::test {
namespace {

// Runs an action when a window receives its close event.
class CloseWatch final : public QObject {
public:
    CloseWatch(QWidget& window, std::function<void()> action)
        : action_(std::move(action))
    {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close && action_) {
            action_();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> action_;
};

// The rectangle of the pixels a label's text painted, in label coordinates:
// whatever differs from the background inside the frame.
QRect InkRect(QLabel& label)
{
    const QImage image = label.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb background = label.palette().color(label.backgroundRole()).rgb();
    const QRect inside = label.contentsRect();
    QRect ink;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            if (image.pixel(x, y) != background) {
                ink |= QRect(x, y, 1, 1);
            }
        }
    }
    return ink;
}

// Where the glyphs of a label's text belong when the line stands at the top
// of the label and is centred across it.
QRect InkAtTopCentred(const QLabel& label)
{
    const QFontMetrics metrics(label.font());
    const QRect inside = label.contentsRect();
    const int originX = inside.left() + (inside.width() - metrics.horizontalAdvance(label.text())) / 2;
    const int baseline = inside.top() + metrics.ascent();
    return metrics.tightBoundingRect(label.text()).translated(originX, baseline);
}

// --- Layout, on either screen set --------------------------------------------

TEST_F(FormsTest, MainWindowHasTheDesignedControls)
{
    frmMain& f = Start();
    EXPECT_EQ(f.windowTitle(), "QZ470 Tester");
    EXPECT_FALSE(f.windowIcon().pixmap(32, 32).isNull());
    EXPECT_EQ(f.palette().color(QPalette::Window), QColor(192, 192, 255));

    EXPECT_EQ(f.lblPadPrompt->text(), "Pad:");
    EXPECT_EQ(f.Label2->text(), "Button:");
    EXPECT_EQ(f.lblPad->text(), "");
    EXPECT_EQ(f.lblButton->text(), "");
    EXPECT_EQ(f.chkbLocked->text(), "Lockout buzzers for 5 seconds");
    EXPECT_EQ(f.chkSendKeyPresses->text(), "Enable Keypress Events");
    EXPECT_EQ(f.chkbLights->text(), "Turn on LED lights");
    EXPECT_EQ(f.btnClear->text(), "Clear");
    EXPECT_EQ(f.btnExit->text(), "Exit");
    EXPECT_EQ(f.Command1->text(), "Clear");
    for (QCheckBox* box : {f.chkbLocked, f.chkSendKeyPresses, f.chkbLights}) {
        EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
    }

    // Twips at 15 to a logical pixel, edges rounded.
    EXPECT_EQ(f.lblPad->geometry(), QRect(390, 24, 390, 213));
    EXPECT_EQ(f.lblButton->geometry(), QRect(390, 244, 390, 169));
    EXPECT_EQ(f.lblPadPrompt->geometry(), QRect(45, 73, 342, 115));
    EXPECT_EQ(f.Label2->geometry(), QRect(2, 256, 385, 128));
    EXPECT_EQ(f.chkSendKeyPresses->geometry(), QRect(200, 456, 382, 33));
    EXPECT_EQ(f.btnExit->geometry(), QRect(406, 520, 133, 59));
    EXPECT_EQ(f.Command1->geometry(), QRect(0, 0, 133, 59));
    // The prompts end 45 twips (3 px) left of the value labels.
    EXPECT_EQ(f.lblPad->x() - (f.lblPadPrompt->x() + f.lblPadPrompt->width()), 3);

    // "Arial" bold in pixels: 140.25 pt at 96 dpi is 187 px.
    EXPECT_EQ(f.lblPad->font().pixelSize(), 187);
    EXPECT_EQ(f.lblButton->font().pixelSize(), 147);
    EXPECT_EQ(f.lblPadPrompt->font().pixelSize(), 107);
    EXPECT_EQ(f.chkbLights->font().pixelSize(), 13);
    EXPECT_EQ(f.btnExit->font().pixelSize(), 27);
    EXPECT_TRUE(f.lblPad->font().bold());
    const QString family = QFontInfo(f.lblPad->font()).family();
    EXPECT_TRUE(family == "Arial" || family == "Liberation Sans") << family.toStdString();

    // Value labels take the system window colours; prompts are transparent.
    EXPECT_EQ(f.lblPad->backgroundRole(), QPalette::Base);
    EXPECT_EQ(f.lblPad->foregroundRole(), QPalette::Text);
    EXPECT_TRUE(f.lblPad->autoFillBackground());
    EXPECT_FALSE(f.lblPadPrompt->autoFillBackground());
    EXPECT_EQ(f.lblPad->frameShape(), QFrame::Box);
    EXPECT_EQ(f.btnClear->palette().color(QPalette::Button), QColor(Qt::white));

    // Topmost, fixed frame with minimise and close but no maximise.
    const Qt::WindowFlags flags = f.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
}

TEST_F(FormsTest, TabOrderStartsAtExitWhichHoldsTheFocus)
{
    frmMain& f = Start();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    EXPECT_EQ(QApplication::focusWidget(), f.btnExit);
    const std::vector<QWidget*> expected {
        f.btnExit, f.btnClear, f.chkSendKeyPresses, f.chkbLocked, f.chkbLights, f.Command1};
    std::vector<QWidget*> seen {QApplication::focusWidget()};
    for (std::size_t i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen.push_back(QApplication::focusWidget());
    }
    EXPECT_EQ(seen, expected);
}

TEST_F(FormsTest, TheQuitShortcutClosesLikeExit)
{
    frmMain& f = Start();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(f.Unloaded());
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
    // Only the main window's closing ends the program.
    EXPECT_TRUE(f.testAttribute(Qt::WA_QuitOnClose));
}

TEST_F(OneOrTwoScreens, AudienceWindowHasTheDesignedControls)
{
    frmMain& f = Start();
    Press(3, kA); // the mirror makes one, hidden or not
    frmSecondary* s = f.Secondary();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->windowTitle(), "");
    EXPECT_TRUE(s->windowFlags().testFlag(Qt::Tool));
    EXPECT_FALSE(s->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(s->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(s->palette().color(QPalette::Window), QColor(192, 192, 255));
    EXPECT_EQ(s->lblPadPrompt->text(), "Pad:");
    EXPECT_EQ(s->Label2->text(), "Button:");
    EXPECT_EQ(s->Command1->text(), "EXIT");
    EXPECT_EQ(s->lblPad->geometry(), QRect(384, 50, 398, 261));
    EXPECT_EQ(s->lblButton->geometry(), QRect(384, 318, 398, 249));
    EXPECT_EQ(s->Command1->geometry(), QRect(656, 568, 129, 49));
    EXPECT_EQ(s->lblPad->font().pixelSize(), 187);
    // "EXIT" is the one control that takes the focus.
    for (QWidget* w : s->findChildren<QWidget*>()) {
        if (w != s->Command1) {
            EXPECT_EQ(w->focusPolicy(), Qt::NoFocus) << w->objectName().toStdString();
        }
    }
    EXPECT_EQ(s->focusWidget(), s->Command1);
    EXPECT_FALSE(s->testAttribute(Qt::WA_QuitOnClose));
    // Sized to the primary screen each time it is loaded.
    EXPECT_EQ(s->frameGeometry().size(), PrimaryScreenRect().size());
}

TEST_F(OneOrTwoScreens, ValueTextsStandAtTheTopCentredAcross)
{
    frmMain& f = Start();
    Press(7, kBuzz);
    frmSecondary* s = f.Secondary();
    ASSERT_NE(s, nullptr);
    // The audience window's labels are taller than their type: centred
    // vertically, "BUZZ" would sit about 40 px below its place.
    for (QLabel* label : {f.lblPad, f.lblButton, s->lblPad, s->lblButton}) {
        SCOPED_TRACE(label->window()->objectName().toStdString() + "." + label->objectName().toStdString());
        const QRect ink = InkRect(*label);
        ASSERT_FALSE(ink.isEmpty()) << "nothing painted";
        const QRect expected = InkAtTopCentred(*label);
        // One pixel of leeway for antialiasing.
        EXPECT_NEAR(ink.top(), expected.top(), 1);
        EXPECT_NEAR(ink.bottom(), expected.bottom(), 1);
        EXPECT_NEAR(ink.left(), expected.left(), 1);
        EXPECT_NEAR(ink.right(), expected.right(), 1);
    }
}

TEST_F(FormsTest, LongButtonTextsShrinkToFitTheirLabel)
{
    frmMain& f = Start();
    Press(4, kPowered);
    EXPECT_EQ(f.lblButton->text(), "POWERED");
    const QFontMetrics metrics(f.lblButton->font());
    EXPECT_LE(metrics.horizontalAdvance("POWERED"), f.lblButton->contentsRect().width());
    EXPECT_LT(f.lblButton->font().pixelSize(), 147);
    // A text that fits keeps the design size.
    Press(4, kA);
    EXPECT_EQ(f.lblButton->font().pixelSize(), 147);
}

// --- One monitor -------------------------------------------------------------

TEST_F(FormsTest, OneMonitorCoversThePrimaryScreenAndKeepsTheMirrorHidden)
{
    frmMain& f = Start();
    EXPECT_EQ(GetMonitorCount(), 1);
    EXPECT_EQ(f.frameGeometry(), QRect(0, 0, 1920, 1080));
    EXPECT_EQ(f.Secondary(), nullptr);

    Press(7, kBuzz);
    frmSecondary* s = f.Secondary();
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->isVisible());
    EXPECT_EQ(s->lblPad->text(), "7");
    EXPECT_EQ(s->lblButton->text(), "BUZZ");

    Click(f.btnExit);
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(f.Secondary(), nullptr);
    EXPECT_EQ(f.Device(), nullptr);
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
}

// --- Two monitors ------------------------------------------------------------

TEST_F(TwoScreens, AudienceWindowStandsRightOfThePrimaryScreen)
{
    frmMain& f = Start();
    // Three monitors place it just the same.
    EXPECT_EQ(GetMonitorCount(), ScreenCount());
    frmSecondary* s = f.Secondary();
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->isVisible());
    // Primary right edge plus 60 twips (4 px); the primary screen's size.
    EXPECT_EQ(s->frameGeometry(), QRect(1920 + 4, 0, 1920, 1080));
    EXPECT_EQ(f.frameGeometry(), QRect(0, 0, 1920, 1080));

    Press(12, kC);
    EXPECT_EQ(s->lblPad->text(), "12");
    EXPECT_EQ(s->lblButton->text(), "C");
}

TEST_F(TwoScreens, ExitOnEitherWindowEndsBothAndReleasesTheLink)
{
    for (bool fromAudience : {false, true}) {
        SCOPED_TRACE(fromAudience ? "EXIT" : "Exit");
        frmMain& f = Start();
        QPointer<frmSecondary> s = f.Secondary();
        ASSERT_TRUE(s);
        // The link is released before the audience window closes.
        std::size_t handlesWhenAudienceClosed = 99;
        CloseWatch watch(*s, [&] { handlesWhenAudienceClosed = bus.OpenHandleCount(); });
        Click(fromAudience ? s->Command1 : f.btnExit);
        EXPECT_EQ(handlesWhenAudienceClosed, 0u);
        EXPECT_FALSE(f.isVisible());
        EXPECT_TRUE(f.Unloaded());
        EXPECT_TRUE(!s || (!s->isVisible() && s->Closed()));
        EXPECT_EQ(bus.OpenHandleCount(), 0u);
        EXPECT_TRUE(exitStatuses.empty());
        form.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(s.isNull());
    }
}

TEST_F(TwoScreens, ClosingTheMainWindowByItsCloseCommandEndsBoth)
{
    frmMain& f = Start();
    QPointer<frmSecondary> s = f.Secondary();
    // What a window manager's close button (or Alt+F4) asks for.
    f.windowHandle()->close();
    EXPECT_TRUE(f.Unloaded());
    EXPECT_TRUE(!s || s->Closed());
    EXPECT_EQ(bus.OpenHandleCount(), 0u);
}

TEST_F(TwoScreens, ClosingOnlyTheAudienceWindowLeavesTheMainOneRunning)
{
    frmMain& f = Start();
    QPointer<frmSecondary> s = f.Secondary();
    s->windowHandle()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(s.isNull());
    EXPECT_TRUE(f.isVisible());
    EXPECT_NE(f.Device(), nullptr);

    // The next press loads a new one, hidden, that follows the labels.
    Press(5, kB);
    frmSecondary* again = f.Secondary();
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(again->isVisible());
    EXPECT_EQ(again->lblPad->text(), "5");
    EXPECT_EQ(again->lblButton->text(), "B");
    EXPECT_EQ(again->frameGeometry().size(), QSize(1920, 1080));
}

} // namespace
} // namespace qz::test
