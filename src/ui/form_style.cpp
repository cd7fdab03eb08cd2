#include "ui/form_style.h"

#include "ui/twips.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QPalette>
#include <QWidget>

#include <algorithm>

namespace qz {

QFont ArialBold(double points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(PointsToPixels(points));
    font.setWeight(QFont::Bold);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

void PaintFormBackground(QWidget& form)
{
    QPalette palette = form.palette();
    palette.setColor(QPalette::Window, QColor(kFormBackColor));
    form.setPalette(palette);
    form.setAutoFillBackground(true);
}

void StylePromptLabel(QLabel& label, double points)
{
    label.setFont(ArialBold(points));
    // Design labels put their text at the top; the prompts are placed for that.
    label.setAlignment(Qt::AlignRight | Qt::AlignTop);
    label.setAutoFillBackground(false);
}

void StyleWhiteButton(QAbstractButton& button, double points)
{
    button.setFont(ArialBold(points));
    QPalette palette = button.palette();
    palette.setColor(QPalette::Button, Qt::white);
    button.setPalette(palette);
}

ValueLabel::ValueLabel(double points, QWidget* parent)
    : QLabel(parent)
    , designPixelSize_(PointsToPixels(points))
{
    setFont(ArialBold(points));
    // Design labels put their text at the top; "centred" is across only.
    // No indent: a framed QLabel would otherwise push top-aligned text down
    // by half an "x" of its font, some 50 px at these sizes.
    setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    setIndent(0);
    setFrameShape(QFrame::Box);
    setFrameShadow(QFrame::Plain);
    setLineWidth(1);
    // Roles rather than fixed colours: the label follows palette changes.
    setBackgroundRole(QPalette::Base);
    setForegroundRole(QPalette::Text);
    setAutoFillBackground(true);
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

void ValueLabel::SetText(const QString& text)
{
    const int room = contentsRect().width();
    QFont fitted = font();
    fitted.setPixelSize(designPixelSize_);
    if (!text.isEmpty() && room > 0) {
        const int wanted = QFontMetrics(fitted).horizontalAdvance(text);
        if (wanted > room) {
            // Scale once, then step down the last pixels rounding may have left.
            int size = std::max(1, designPixelSize_ * room / wanted);
            fitted.setPixelSize(size);
            while (size > 1 && QFontMetrics(fitted).horizontalAdvance(text) > room) {
                fitted.setPixelSize(--size);
            }
        }
    }
    if (fitted != font()) {
        setFont(fitted);
    }
    setText(text);
}

} // namespace qz
