#include "ui/outer_geometry.h"

#include <QWidget>
#include <QWindow>

namespace qz {

QMargins FrameMargins(const QWidget& window)
{
    if (const QWindow* handle = window.windowHandle()) {
        return handle->frameMargins();
    }
    return {};
}

void OuterGeometry::SetTarget(QWidget& window, const QRect& outer)
{
    target_ = outer;
    Apply(window);
}

void OuterGeometry::MoveLeft(QWidget& window, int left)
{
    target_.moveLeft(left);
    Apply(window);
}

void OuterGeometry::FrameMayHaveChanged(QWidget& window)
{
    if (applying_ || target_.isEmpty() || FrameMargins(window) == applied_) {
        return;
    }
    Apply(window);
}

void OuterGeometry::Apply(QWidget& window)
{
    if (target_.isEmpty()) {
        return;
    }
    applying_ = true;
    applied_ = FrameMargins(window);
    const QSize client(
        target_.width() - applied_.left() - applied_.right(), target_.height() - applied_.top() - applied_.bottom());
    // Fixed: the frame cannot be dragged to another size.
    window.setFixedSize(client.expandedTo(QSize(1, 1)));
    // A top-level window's position is that of its frame.
    window.move(target_.topLeft());
    applying_ = false;
}

} // namespace qz
