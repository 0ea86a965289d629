#include "VisibleRowWidgets.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QPointer>
#include <QScrollBar>

namespace {
// Rows given widgets above and below the screen, so a short scroll shows
// rows already made.
constexpr int SpareRows = 3;
// A view not yet shown has a small screen: its first rows get widgets all
// the same.
constexpr int MinRowsInSight = 8;
// A row's widget takes most of a millisecond to make: a screenful at once
// would hold the event loop that long, so they come a few per turn.
constexpr int WidgetsPerTurn = 6;
} // namespace

VisibleRowWidgets::VisibleRowWidgets(QAbstractItemView *view, MakeWidget make)
    : QObject(view), m_view(view), m_viewport(view->viewport()), m_make(std::move(make))
{
    // Any number of changes within one turn of the event loop cost one pass.
    m_sync.setSingleShot(true);
    m_sync.setInterval(0);
    connect(&m_sync, &QTimer::timeout, this, &VisibleRowWidgets::sync);
    QAbstractItemModel *const model = view->model();
    connect(model, &QAbstractItemModel::rowsInserted, this, &VisibleRowWidgets::schedule);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &VisibleRowWidgets::schedule);
    connect(model, &QAbstractItemModel::rowsMoved, this, &VisibleRowWidgets::schedule);
    connect(model, &QAbstractItemModel::layoutChanged, this, &VisibleRowWidgets::schedule);
    connect(model, &QAbstractItemModel::modelReset, this, &VisibleRowWidgets::schedule);
    connect(view->verticalScrollBar(), &QScrollBar::valueChanged, this, &VisibleRowWidgets::schedule);
    connect(view->verticalScrollBar(), &QScrollBar::rangeChanged, this, &VisibleRowWidgets::schedule);
    m_viewport->installEventFilter(this);
    schedule();
}

QWidget *VisibleRowWidgets::widgetAt(int row) const
{
    return m_view->indexWidget(m_view->model()->index(row, 0, m_view->rootIndex()));
}

bool VisibleRowWidgets::eventFilter(QObject *watched, QEvent *event)
{
    // Also called while the view is being destroyed: the view is not asked.
    if (watched == m_viewport && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        schedule();
    return QObject::eventFilter(watched, event);
}

void VisibleRowWidgets::sync()
{
    const QAbstractItemModel *const model = m_view->model();
    const int rows = model->rowCount(m_view->rootIndex());
    int first = 0;
    int last = -1;
    int topRow = 0;
    if (rows > 0) {
        // Before the view has laid its rows out, the top is row 0; laying
        // them out changes the scroll range, which brings another pass.
        const QModelIndex top = m_view->indexAt(QPoint(0, 0));
        topRow = top.isValid() ? top.row() : 0;
        const int onScreen =
            qMax(MinRowsInSight, m_viewport->height() / qMax(1, m_view->sizeHintForRow(topRow)) + 1);
        first = qMax(0, topRow - SpareRows);
        last = qMin(rows - 1, topRow + onScreen + SpareRows);
    }
    // Rows that left the range give their widgets back; removed rows'
    // widgets went with them.
    std::vector<QPersistentModelIndex> given;
    given.reserve(size_t(last - first + 1));
    for (const QPersistentModelIndex &index : m_given) {
        if (!index.isValid())
            continue;
        if (index.row() < first || index.row() > last)
            take(index);
        else
            given.push_back(index);
    }
    // The rows in sight first, from the top down, then those above them.
    int made = 0;
    for (int step = 0; step <= last - first; ++step) {
        const int row = topRow + step <= last ? topRow + step : topRow - (step - (last - topRow));
        const QModelIndex index = model->index(row, 0, m_view->rootIndex());
        if (m_view->indexWidget(index))
            continue;
        if (made == WidgetsPerTurn) {
            schedule();
            break;
        }
        m_view->setIndexWidget(index, m_make(index));
        given.emplace_back(index);
        ++made;
    }
    m_given = std::move(given);
}

void VisibleRowWidgets::take(const QPersistentModelIndex &index)
{
    const QPointer<QWidget> widget = m_view->indexWidget(index);
    m_view->setIndexWidget(index, nullptr);
    if (widget) {
        widget->hide();
        widget->deleteLater();
    }
}
