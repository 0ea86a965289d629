#pragma once

#include <QObject>
#include <QPersistentModelIndex>
#include <QTimer>

#include <functional>
#include <vector>

class QAbstractItemView;
class QWidget;

// Gives the rows of a list view widgets of their own only while they are in
// sight, with a few to spare above and below, so a list of any length costs
// the widgets of one screen. A row's widget is made again from the
// model whenever the row comes back into sight: it must keep nothing the
// model does not hold. The view's rows must all be of one height.
class VisibleRowWidgets : public QObject
{
    Q_OBJECT

public:
    using MakeWidget = std::function<QWidget *(const QModelIndex &index)>;

    VisibleRowWidgets(QAbstractItemView *view, MakeWidget make);

    // Null while the row is out of sight or before the next turn of the
    // event loop has given it one.
    QWidget *widgetAt(int row) const;
    // The rows that have a widget now.
    const std::vector<QPersistentModelIndex> &rowsWithWidgets() const { return m_given; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void schedule()
    {
        if (!m_sync.isActive())
            m_sync.start();
    }
    void sync();
    void take(const QPersistentModelIndex &index);

    QAbstractItemView *const m_view;
    QWidget *const m_viewport;
    const MakeWidget m_make;
    std::vector<QPersistentModelIndex> m_given;
    QTimer m_sync;
};
