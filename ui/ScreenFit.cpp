#include "ScreenFit.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

QRect ScreenFit::fitted(const QRect &geometry, const QMargins &frame, const QSize &minimum, const QRect &area)
{
    const QSize room = area.marginsRemoved(frame).size();
    const QSize size = geometry.size().boundedTo(room).expandedTo(minimum);
    QRect outer = QRect(geometry.topLeft(), size).marginsAdded(frame);
    // Right and bottom first, so that a window larger than the area ends with
    // its title bar and left edge on it.
    outer.moveRight(std::min(outer.right(), area.right()));
    outer.moveBottom(std::min(outer.bottom(), area.bottom()));
    outer.moveLeft(std::max(outer.left(), area.left()));
    outer.moveTop(std::max(outer.top(), area.top()));
    return outer.marginsRemoved(frame);
}

void ScreenFit::fit(QWidget *window)
{
    if (window->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen))
        return;
    const QRect geometry = window->geometry();
    QScreen *screen = QGuiApplication::screenAt(geometry.center());
    if (!screen)
        screen = window->screen();
    if (!screen)
        return;
    // Before the window manager framed the window its frame is not known: a
    // frame like an earlier window's is a fair guess, none is the least.
    const QMargins frame(geometry.left() - window->frameGeometry().left(),
                         geometry.top() - window->frameGeometry().top(),
                         window->frameGeometry().right() - geometry.right(),
                         window->frameGeometry().bottom() - geometry.bottom());
    const QRect target = fitted(geometry, frame, window->minimumSize(), screen->availableGeometry());
    if (target.size() != geometry.size())
        window->resize(target.size());
    if (target.topLeft() != geometry.topLeft())
        window->move(target.topLeft() - QPoint(frame.left(), frame.top()));
}

bool ScreenFit::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        // Menus, tips and the like place themselves.
        const Qt::WindowType type = widget->windowType();
        if (widget->isWindow() && (type == Qt::Window || type == Qt::Dialog || type == Qt::Tool))
            fit(widget);
    }
    return QObject::eventFilter(watched, event);
}
