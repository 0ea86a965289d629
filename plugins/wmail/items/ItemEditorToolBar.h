#pragma once

#include <QAction>
#include <QIcon>
#include <QList>
#include <QToolBar>

// The tool bar the files and photo-album editors share: the page's leading
// actions, then "add" and "remove", then "send".
namespace ItemEditorToolBar {

inline QAction *action(QObject *owner, const QString &name, const QString &text, const QString &icon)
{
    auto *made = new QAction(QIcon(icon), text, owner);
    made->setObjectName(name);
    return made;
}

inline void fill(QToolBar *toolBar, const QList<QAction *> &leadingActions, QAction *add, QAction *remove,
                 QAction *send)
{
    toolBar->setIconSize(QSize(16, 16));
    if (!leadingActions.isEmpty()) {
        toolBar->addActions(leadingActions);
        toolBar->addSeparator();
    }
    toolBar->addActions({add, remove});
    toolBar->addSeparator();
    toolBar->addAction(send);
}

} // namespace ItemEditorToolBar
