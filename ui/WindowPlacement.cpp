#include "WindowPlacement.h"

QPoint WindowPlacement::notificationPosition(const QRect &availableArea)
{
    return QPoint(availableArea.x() + availableArea.width() - 215, availableArea.y() + availableArea.height() - 115);
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
