#include "ui/frm_secondary.h"

#include "ui/monitor_enum.h"
#include "ui/twips.h"

#include <QCloseEvent>

namespace qz {

frmSecondary::frmSecondary()
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , lblPad(new ValueLabel(140.25, this))
    , lblButton(new ValueLabel(110.25, this))
    , lblPadPrompt(new QLabel(QStringLiteral("Pad:"), this))
    , Label2(new QLabel(QStringLiteral("Button:"), this))
    , Command1(new QPushButton(QStringLiteral("EXIT"), this))
{
    // Closing unloads the window; the main window makes a new one when it
    // next needs it.
    setAttribute(Qt::WA_DeleteOnClose);
    // Only the main window's life decides when the program ends.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QString());
    PaintFormBackground(*this);
    setObjectName(QStringLiteral("frmSecondary"));

    lblPad->setObjectName(QStringLiteral("lblPad"));
    lblPad->setGeometry(TwipsRect(5760, 743, 5970, 3915));
    lblButton->setObjectName(QStringLiteral("lblButton"));
    lblButton->setGeometry(TwipsRect(5760, 4763, 5970, 3735));
    lblPadPrompt->setObjectName(QStringLiteral("lblPadPrompt"));
    StylePromptLabel(*lblPadPrompt, 80.25);
    lblPadPrompt->setGeometry(TwipsRect(0, 2183, 5130, 1725));
    Label2->setObjectName(QStringLiteral("Label2"));
    StylePromptLabel(*Label2, 80.25);
    Label2->setGeometry(TwipsRect(120, 5303, 5535, 1680));
    // "EXIT" keeps the platform's ordinary dialog font and button face.
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(TwipsRect(9840, 8520, 1935, 735));
    Command1->setDefault(true);
    Command1->setFocus();
    // The button is the window's only focusable control.
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(QStringLiteral("QZ470 Tester audience display"));

    Form_Load();
}

frmSecondary::~frmSecondary() = default;

void frmSecondary::Form_Load()
{
    const QRect primary = PrimaryScreenRect();
    // Until the main window places it, the window sits at the primary
    // screen's top-left, where a window manager's default placement would
    // start.
    outer_.SetTarget(*this, QRect(primary.topLeft(), primary.size()));
}

void frmSecondary::SetLeft(int left)
{
    outer_.MoveLeft(*this, left);
}

void frmSecondary::closeEvent(QCloseEvent* event)
{
    closed_ = true;
    event->accept();
}

void frmSecondary::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    outer_.FrameMayHaveChanged(*this);
}

void frmSecondary::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    outer_.FrameMayHaveChanged(*this);
}

} // namespace qz
