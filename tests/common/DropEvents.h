#pragma once

#include <QCoreApplication>
#include <QDropEvent>
#include <QList>
#include <QMimeData>
#include <QPoint>
#include <QUrl>
#include <QWidget>

// Drops urls on target at `at` with the events a file manager's drag brings
// (enter, move, drop); true when the target accepted the drop.
inline bool dropUrls(QWidget *target, const QList<QUrl> &urls, const QPoint &at)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &move);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}
