#include "uiTransferMonitor.h"

#include "VisibleRowWidgets.h"
#include "uiTransferMonitorEntity.h"

#include <TransferMonitor.h>

#include <QGridLayout>
#include <QListWidget>

namespace {
constexpr int FileIdRole = Qt::UserRole + 1;
} // namespace

uiTransferMonitor::uiTransferMonitor(TransferMonitor &monitor, QWidget *parent) : QWidget(parent), m_monitor(monitor)
{
    setObjectName(QStringLiteral("uiTransferMonitorClass"));
    setWindowTitle(QStringLiteral("uiTransferMonitor"));
    resize(446, 301);
    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setSpacing(2);
    grid->setContentsMargins(2, 2, 2, 2);
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("listWidget"));
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setUniformItemSizes(true);
    grid->addWidget(m_list, 0, 0);
    m_rowWidgets = new VisibleRowWidgets(m_list, [this](const QModelIndex &index) {
        auto *row = new uiTransferMonitorEntity(index.data(FileIdRole).toString());
        row->showState(m_monitor);
        return row;
    });

    for (const QString &fileID : monitor.fileIds())
        addRow(fileID);
    connect(&monitor, &TransferMonitor::fileAdded, this, &uiTransferMonitor::addRow);
    connect(&monitor, &TransferMonitor::fileRemoved, this, &uiTransferMonitor::removeRow);
    connect(&monitor, &TransferMonitor::fileChanged, this, [this](const QString &fileID) { m_changed.insert(fileID); });
    m_refresh.setInterval(RefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &uiTransferMonitor::refresh);
    m_refresh.start();
}

uiTransferMonitorEntity *uiTransferMonitor::row(int i) const
{
    return qobject_cast<uiTransferMonitorEntity *>(m_rowWidgets->widgetAt(i));
}

int uiTransferMonitor::rowCount() const
{
    return m_list->count();
}

void uiTransferMonitor::slotAddTransfer(const QString &fileID, const QString &path, const QString &user)
{
    QMetaObject::invokeMethod(&m_monitor, [monitor = &m_monitor, fileID, path, user] {
        monitor->addFile(fileID, path, user);
    });
}

void uiTransferMonitor::slotRemoveTransfer(const QString &fileID)
{
    // The idle sweep calls from a pool thread: the row goes on the GUI thread.
    QMetaObject::invokeMethod(&m_monitor, [monitor = &m_monitor, fileID] { monitor->removeFile(fileID); });
}

void uiTransferMonitor::addRow(const QString &fileID)
{
    auto *item = new QListWidgetItem;
    item->setData(FileIdRole, fileID);
    item->setSizeHint(QSize(0, RowHeight));
    m_list->addItem(item);
}

void uiTransferMonitor::removeRow(const QString &fileID)
{
    m_changed.remove(fileID);
    for (int i = m_list->count() - 1; i >= 0; --i) {
        if (m_list->item(i)->data(FileIdRole).toString() == fileID)
            delete m_list->takeItem(i);
    }
}

void uiTransferMonitor::refresh()
{
    if (m_changed.isEmpty())
        return;
    for (const QPersistentModelIndex &index : m_rowWidgets->rowsWithWidgets()) {
        auto *const shown = qobject_cast<uiTransferMonitorEntity *>(m_list->indexWidget(index));
        if (shown && m_changed.contains(shown->fileID()))
            shown->showState(m_monitor);
    }
    m_changed.clear();
}
