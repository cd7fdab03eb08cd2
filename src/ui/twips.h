#pragma once

#include <QRect>

namespace qz {

// Window designs give positions and sizes in twips (1/1440 inch). At 96 dots
// per inch a pixel is 15 twips; Qt's logical pixels are those 96-dpi pixels,
// and Qt's own high-dpi scaling maps them to device pixels, so nothing here
// scales a second time.
inline constexpr int kTwipsPerPixel = 15;

constexpr int TwipsToPixels(int twips)
{
    // Round half away from zero, so that odd design values (743 twips) land on
    // the nearest pixel rather than always the one to the left.
    return twips >= 0 ? (twips + kTwipsPerPixel / 2) / kTwipsPerPixel
                      : -((-twips + kTwipsPerPixel / 2) / kTwipsPerPixel);
}

// Converts the edges rather than the size, so that controls designed to touch
// or to keep a fixed gap still do after rounding.
constexpr QRect TwipsRect(int left, int top, int width, int height)
{
    const int x = TwipsToPixels(left);
    const int y = TwipsToPixels(top);
    return QRect(x, y, TwipsToPixels(left + width) - x, TwipsToPixels(top + height) - y);
}

// Font sizes are in points; at 96 dpi a point is 4/3 of a pixel. Fonts are
// set in pixels so that text keeps its size relative to the controls whatever
// logical dpi the desktop announces.
constexpr int PointsToPixels(double points)
{
    return static_cast<int>(points * 96.0 / 72.0 + 0.5);
}

} // namespace qz
