#include "WindowPlacement.h"

namespace {
// The gap between the pop-up and the area's right and bottom edges.
const int RightMargin = 15;
const int BottomMargin = 35;
const int TrayGap = 8;
} // namespace

QPoint WindowPlacement::notificationPosition(const QRect &availableArea)
{
    return notificationPosition(availableArea, QSize(200, 80), QRect());
}

QPoint WindowPlacement::notificationPosition(const QRect &availableArea, const QSize &popup, const QRect &trayArea)
{
    QRect placed(QPoint(availableArea.x() + availableArea.width() - popup.width() - RightMargin,
                        availableArea.y() + availableArea.height() - popup.height() - BottomMargin),
                 popup);
    if (trayArea.isValid() && placed.adjusted(-TrayGap, -TrayGap, TrayGap, TrayGap).intersects(trayArea)) {
        if (trayArea.center().y() >= availableArea.center().y())
            placed.moveBottom(trayArea.top() - TrayGap - 1);
        else
            placed.moveTop(trayArea.bottom() + TrayGap + 1);
    }
    // Kept on the area, the top left corner first when it is too small.
    placed.moveRight(qMin(placed.right(), availableArea.right()));
    placed.moveBottom(qMin(placed.bottom(), availableArea.bottom()));
    placed.moveLeft(qMax(placed.left(), availableArea.left()));
    placed.moveTop(qMax(placed.top(), availableArea.top()));
    return placed.topLeft();
}

QPoint WindowPlacement::windowPosition(const QPoint &stored, const QSize &windowSize, const QRect &desktop,
                                       const QList<QRect> &screens)
{
    const QPoint centred(desktop.x() + desktop.width() / 2 - windowSize.width() / 2,
                         desktop.y() + desktop.height() / 2 - windowSize.height() / 2);
    if (stored == QPoint(0, 0))
        return centred;
    const QRect window(stored, windowSize);
    for (const QRect &screen : screens) {
        if (screen.intersects(window))
            return stored;
    }
    return centred;
}
