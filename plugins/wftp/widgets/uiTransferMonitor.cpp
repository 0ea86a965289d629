#include "uiTransferMonitor.h"

#include "uiTransferMonitorEntity.h"

#include <TransferMonitor.h>

#include <QGridLayout>
#include <QListWidget>

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
    grid->addWidget(m_list, 0, 0);

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
    return qobject_cast<uiTransferMonitorEntity *>(m_list->itemWidget(m_list->item(i)));
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
    item->setData(Qt::UserRole + 1, fileID);
    item->setSizeHint(QSize(0, RowHeight));
    auto *row = new uiTransferMonitorEntity(fileID);
    row->showState(m_monitor);
    m_list->addItem(item);
    m_list->setItemWidget(item, row);
}

void uiTransferMonitor::removeRow(const QString &fileID)
{
    m_changed.remove(fileID);
    for (int i = m_list->count() - 1; i >= 0; --i) {
        if (m_list->item(i)->data(Qt::UserRole + 1).toString() == fileID)
            delete m_list->takeItem(i);
    }
}

void uiTransferMonitor::refresh()
{
    if (m_changed.isEmpty())
        return;
    for (int i = 0; i < m_list->count(); ++i) {
        uiTransferMonitorEntity *const shown = row(i);
        if (shown && m_changed.contains(shown->fileID()))
            shown->showState(m_monitor);
    }
    m_changed.clear();
}
