#pragma once

#include <QMargins>
#include <QRect>

class QWidget;

namespace qz {

// Keeps a top-level window's outer rectangle, frame and caption included, at
// a target. A window manager adds its frame only after the window is mapped,
// so the client size is computed again whenever the frame it measures has
// changed; without a window manager the frame is empty and the window itself
// covers the target.
class OuterGeometry {
public:
    // Sets the target and applies it at once (with the frame known so far).
    void SetTarget(QWidget& window, const QRect& outer);
    // Moves the target's left edge, keeping its size.
    void MoveLeft(QWidget& window, int left);
    // Call from the window's move and resize events: applies the target again
    // when the frame has changed since it was last applied.
    void FrameMayHaveChanged(QWidget& window);

    const QRect& Target() const { return target_; }

private:
    void Apply(QWidget& window);

    QRect target_;
    QMargins applied_;
    bool applying_ = false;
};

// The frame the window system has put around a top-level window.
QMargins FrameMargins(const QWidget& window);

} // namespace qz
