#pragma once

#include <QMargins>
#include <QObject>
#include <QRect>
#include <QSize>

class QWidget;

// Keeps windows and dialogs within the screen they open on: one taller or
// wider than the screen's free area (a small screen, a large scale factor)
// is made smaller down to its minimum, and moved so that its frame, title
// bar and buttons are on the screen. Installed on the application, it does
// this for every window as it is shown, the plug-ins' included.
class ScreenFit : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // The window's frame (its geometry plus `frame` around it) made to fit
    // within `area`: size cut to the area but not below `minimum`, then moved
    // in; a window that cannot fit keeps its top left corner on the area.
    static QRect fitted(const QRect &geometry, const QMargins &frame, const QSize &minimum, const QRect &area);

    // Fits `window` to the free area of its screen now.
    static void fit(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
