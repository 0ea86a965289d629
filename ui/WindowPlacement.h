#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

// Where the main window and the notification pop-up go on the screens.
class WindowPlacement
{
public:
    WindowPlacement() = delete;

    // The pop-up's top left corner: 215 left of the right edge and 115 above
    // the bottom of the available area, measured from the area's own origin
    // (a panel on the left or top, a second screen).
    static QPoint notificationPosition(const QRect &availableArea);
    // The same corner for a pop-up of that size, moved clear of the tray
    // icon's area (when valid): above it when the tray is in the lower half
    // of the area, below it otherwise; always within the area.
    static QPoint notificationPosition(const QRect &availableArea, const QSize &popup, const QRect &trayArea);

    // The window's position from the stored one: centred on the desktop when
    // none was stored (exactly 0, 0) or when the window there would meet no
    // screen (a screen removed since), else as stored.
    static QPoint windowPosition(const QPoint &stored, const QSize &windowSize, const QRect &desktop,
                                 const QList<QRect> &screens);
};
