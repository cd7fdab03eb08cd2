#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>

class QAbstractButton;
class QWidget;

namespace qz {

// The forms' background, 0x00FFC0C0 as 0x00BBGGRR: red 192, green 192, blue 255.
inline constexpr QRgb kFormBackColor = qRgb(192, 192, 255);

// "Arial" bold at a design size in points (fontconfig answers with Liberation
// Sans where Arial itself is not installed).
QFont ArialBold(double points);

// Gives a top-level form its background colour.
void PaintFormBackground(QWidget& form);

// A caption such as "Pad:": right-aligned, transparent, large bold type.
void StylePromptLabel(QLabel& label, double points);

// A push button with a white face.
void StyleWhiteButton(QAbstractButton& button, double points);

// One of the big value labels: the system's window colour and window text
// colour (they follow the desktop's colour scheme), a single-line border,
// the text at the top and centred across. A text wider than the label at its design size is drawn
// smaller until it fits, so that a long button text such as "POWERED" is
// read whole instead of losing its ends.
class ValueLabel final : public QLabel {
public:
    ValueLabel(double points, QWidget* parent);

    // Sets the text and picks the largest size up to the design size at which
    // it fits.
    void SetText(const QString& text);

    int DesignPixelSize() const { return designPixelSize_; }

private:
    int designPixelSize_;
};

} // namespace qz
