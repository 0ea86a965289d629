#include "VisibleRowWidgets.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QPointer>
#include <QScrollBar>

namespace {
// Rows given widgets beyond the screen whatever its height: a view not yet
// shown has a small one.
constexpr int MinSpareRows = 8;
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
    if (rows > 0) {
        // Before the view has laid its rows out, the top is row 0; laying
        // them out changes the scroll range, which brings another pass.
        const QModelIndex top = m_view->indexAt(QPoint(0, 0));
        const int topRow = top.isValid() ? top.row() : 0;
        const int onScreen = m_viewport->height() / qMax(1, m_view->sizeHintForRow(topRow)) + 1;
        const int spare = qMax(onScreen, MinSpareRows);
        first = qMax(0, topRow - spare);
        last = qMin(rows - 1, topRow + onScreen + spare);
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
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = model->index(row, 0, m_view->rootIndex());
        if (m_view->indexWidget(index))
            continue;
        m_view->setIndexWidget(index, m_make(index));
        given.emplace_back(index);
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
