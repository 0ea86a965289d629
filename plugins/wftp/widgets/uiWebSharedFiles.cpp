#include "uiWebSharedFiles.h"

#include "FileList.h"
#include "WFtpMain.h"
#include "WebFileLink.h"
#include "uiLinksDisplay.h"
#include "uiWebFileProperties.h"
#include "uiWebFilePropertiesDialog.h"

#include <PSettings.h>
#include <WDataStructure.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QThread>
#include <QToolBar>
#include <QWizard>

namespace {

// Shows the wait cursor on a widget while it lives.
class WaitCursor
{
public:
    explicit WaitCursor(QWidget *widget) : m_widget(widget) { m_widget->setCursor(Qt::WaitCursor); }
    ~WaitCursor() { m_widget->unsetCursor(); }

private:
    QWidget *m_widget;
};

QAction *newAction(const QString &name, const QString &text, const QString &icon, QObject *parent)
{
    auto *action = new QAction(QIcon(icon), text, parent);
    action->setObjectName(name);
    return action;
}

} // namespace

uiWebSharedFiles::uiWebSharedFiles(WFtpMain &main, QWidget *parent)
    : QWidget(parent),
      m_main(main),
      m_treeWidget(new FileList(this)),
      m_actionAdd_File(newAction(QStringLiteral("actionAdd_File"), tr("Add File"),
                                 QStringLiteral(":/icons/Resources/addfiles.png"), this)),
      m_actionDelete_file(newAction(QStringLiteral("actionDelete_file"), tr("Delete file"),
                                    QStringLiteral(":/icons/Resources/delete.png"), this)),
      m_actionCopy_Web_Link(newAction(QStringLiteral("actionCopy_Web_Link"), tr("Copy Web Link"),
                                      QStringLiteral(":/icons/Resources/copy.png"), this))
{
    setWindowTitle(QStringLiteral("uiWebSharedFiles"));

    auto *toolBar = new QToolBar;
    toolBar->setIconSize(QSize(16, 16));
    toolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolBar->addAction(m_actionAdd_File);
    toolBar->addAction(m_actionDelete_file);
    toolBar->addSeparator();
    toolBar->addAction(m_actionCopy_Web_Link);

    m_treeWidget->setObjectName(QStringLiteral("treeWidget"));
    m_treeWidget->setHeaderLabels({tr("Path"), tr("Web Link"), tr("Expired")});
    m_treeWidget->setRootIsDecorated(false);
    m_treeWidget->setAlternatingRowColors(true);
    m_treeWidget->setAllColumnsShowFocus(true);
    m_treeWidget->setSortingEnabled(true);
    m_treeWidget->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_treeWidget->setAcceptDrops(true);
    m_treeWidget->setDragDropMode(QAbstractItemView::DragDrop);
    m_treeWidget->setDragEnabled(true);
    m_treeWidget->setDropIndicatorShown(false);
    m_treeWidget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_treeWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    // Paths and links differ at their ends: keep both ends in view.
    m_treeWidget->setTextElideMode(Qt::ElideMiddle);
    // The expiry always shows whole; path and link share what is left.
    m_treeWidget->header()->setStretchLastSection(false);
    m_treeWidget->header()->setSectionResizeMode(PathColumn, QHeaderView::Stretch);
    m_treeWidget->header()->setSectionResizeMode(LinkColumn, QHeaderView::Stretch);
    m_treeWidget->header()->setSectionResizeMode(m_treeWidget->columnCount() - 1, QHeaderView::ResizeToContents);

    auto *inner = new QGridLayout;
    inner->addWidget(toolBar, 0, 0);
    inner->addWidget(m_treeWidget, 1, 0);
    auto *outer = new QGridLayout(this);
    outer->setSpacing(1);
    outer->setContentsMargins(1, 1, 1, 1);
    outer->addLayout(inner, 0, 0);

    connect(m_treeWidget, &QTreeWidget::itemActivated, this, &uiWebSharedFiles::on_treeWidget_itemActivated);
    connect(m_treeWidget, &FileList::signalFilesDropped, this, &uiWebSharedFiles::slotFilesDropped);
    connect(m_treeWidget, &QWidget::customContextMenuRequested, this,
            &uiWebSharedFiles::on_treeWidget_customContextMenuRequested);
    // From a pool thread this is queued: the rows are built on the list's thread.
    connect(this, &uiWebSharedFiles::signalRefreshFiles, this, &uiWebSharedFiles::loadSharedFiles);
    connect(m_actionAdd_File, &QAction::triggered, this, &uiWebSharedFiles::on_actionAdd_File_triggered);
    connect(m_actionDelete_file, &QAction::triggered, this, &uiWebSharedFiles::on_actionDelete_file_triggered);
    connect(m_actionCopy_Web_Link, &QAction::triggered, this, &uiWebSharedFiles::on_actionCopy_Web_Link_triggered);
}

void uiWebSharedFiles::refreshFiles()
{
    emit signalRefreshFiles();
}

void uiWebSharedFiles::loadSharedFiles()
{
    if (QThread::currentThread() != thread()) {
        emit signalRefreshFiles();
        return;
    }
    m_treeWidget->clear();
    const auto engine = m_main.engine();
    engine->clearOverdueWebFiles();
    const auto files = engine->getWebSharedFiles();
    if (!files)
        return;
    m_treeWidget->setSortingEnabled(false);
    for (const auto &record : files->getChildren())
        addRow(record->gv(QStringLiteral("path")), *record);
    m_treeWidget->setSortingEnabled(true);
}

void uiWebSharedFiles::addRow(const QString &shownPath, const WDataStructure &record)
{
    const QString fileId = record.gv(QStringLiteral("section"));
    const QString link = WebFileLink::of(m_main.userName(), fileId);
    auto *item = new QTreeWidgetItem;
    item->setText(PathColumn, shownPath);
    item->setData(PathColumn, KeyRole, fileId);
    item->setText(LinkColumn, link);
    item->setData(LinkColumn, KeyRole, link);
    item->setData(ExpiryColumn, Qt::DisplayRole,
                  QDateTime::fromString(record.gv(QStringLiteral("validTo")), Qt::ISODate));
    item->setData(ExpiryColumn, KeyRole, record.gv(QStringLiteral("password")));
    m_treeWidget->addTopLevelItem(item);
}

QTreeWidgetItem *uiWebSharedFiles::rowOf(const QString &fileId) const
{
    for (int row = 0; row < m_treeWidget->topLevelItemCount(); ++row) {
        QTreeWidgetItem *item = m_treeWidget->topLevelItem(row);
        if (item->data(PathColumn, KeyRole).toString() == fileId)
            return item;
    }
    return nullptr;
}

void uiWebSharedFiles::saveAccount()
{
    const WaitCursor wait(m_treeWidget);
    m_main.engine()->saveSharedDiscs();
}

void uiWebSharedFiles::slotFilesDropped(QTreeWidgetItem *, const QStringList &files)
{
    // After the drop has ended: the wizard must not hold the other program's
    // drag open.
    QMetaObject::invokeMethod(this, [this, files] { slotAddFiles(files); }, Qt::QueuedConnection);
}

void uiWebSharedFiles::on_actionAdd_File_triggered()
{
    const QStringList files = QFileDialog::getOpenFileNames(m_treeWidget, tr("Select files"),
                                                            PSettings::GetValue(PSettings::LastFolderKey).toString());
    if (files.isEmpty())
        return;
    PSettings::SetValue(PSettings::LastFolderKey, QFileInfo(files.first()).absolutePath());
    slotAddFiles(files);
}

void uiWebSharedFiles::slotAddFiles(const QStringList &flist)
{
    if (flist.isEmpty())
        return;
    auto *page = new uiWebFileProperties;
    QWizard wizard(m_treeWidget);
    wizard.setWindowTitle(tr("New file sharing"));
    wizard.addPage(page);
    wizard.setPixmap(QWizard::LogoPixmap, QPixmap(QStringLiteral(":/icons/Resources/sharedfolder.png")));
    if (wizard.exec() != QDialog::Accepted)
        return;

    QString links;
    {
        const WaitCursor wait(m_treeWidget);
        page->readValues();
        const auto engine = m_main.engine();
        for (const QString &file : flist) {
            // Only a file can be served: a folder's or a missing path's link
            // would never lead anywhere.
            const QFileInfo info(file);
            if (!info.isAbsolute() || !info.isFile())
                continue;
            const auto record = engine->addWebSharedFile(file, page->password, page->validTo);
            if (!record)
                continue;
            addRow(file, *record);
            links += WebFileLink::of(m_main.userName(), record->gv(QStringLiteral("section"))) + QStringLiteral("\r\n");
        }
    }
    if (!links.isEmpty()) {
        uiLinksDisplay display(m_treeWidget);
        display.setLinks(links);
        display.exec();
    }
    saveAccount();
}

void uiWebSharedFiles::on_treeWidget_itemActivated(QTreeWidgetItem *item, int)
{
    // The row may be rebuilt while the dialog is open: keep its key, not the item.
    const QString fileId = item->data(PathColumn, KeyRole).toString();
    uiWebFilePropertiesDialog dialog(m_treeWidget);
    uiWebFileProperties *page = dialog.page();
    page->validTo = item->data(ExpiryColumn, Qt::DisplayRole).toDateTime();
    page->password = item->data(ExpiryColumn, KeyRole).toString();
    page->showValues();
    if (dialog.exec() != QDialog::Accepted)
        return;
    const auto record = m_main.engine()->getWebSharedFile(fileId);
    if (!record)
        return;
    record->sv(QStringLiteral("password"), page->password);
    record->sv(QStringLiteral("validTo"), page->validTo.toString(Qt::ISODate));
    if (QTreeWidgetItem *row = rowOf(fileId)) {
        row->setData(ExpiryColumn, Qt::DisplayRole, page->validTo);
        row->setData(ExpiryColumn, KeyRole, page->password);
    }
    saveAccount();
}

void uiWebSharedFiles::on_treeWidget_customContextMenuRequested(const QPoint &position)
{
    QMenu menu(this);
    menu.addAction(m_actionAdd_File);
    menu.addAction(m_actionDelete_file);
    menu.addSeparator();
    menu.addAction(m_actionCopy_Web_Link);
    menu.exec(m_treeWidget->viewport()->mapToGlobal(position));
}

void uiWebSharedFiles::on_actionCopy_Web_Link_triggered()
{
    const QList<QTreeWidgetItem *> selected = m_treeWidget->selectedItems();
    if (!selected.isEmpty())
        QApplication::clipboard()->setText(selected.first()->data(LinkColumn, KeyRole).toString());
}

void uiWebSharedFiles::on_actionDelete_file_triggered()
{
    const WaitCursor wait(m_treeWidget);
    QStringList fileIds;
    for (const QTreeWidgetItem *item : m_treeWidget->selectedItems())
        fileIds << item->data(PathColumn, KeyRole).toString();
    if (fileIds.isEmpty())
        return;
    if (QMessageBox::question(m_treeWidget, tr("Delete files"), tr("Do you want to remove selected files?"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes)
        return;
    const auto engine = m_main.engine();
    for (const QString &fileId : fileIds) {
        engine->deleteWebSharedFile(fileId);
        delete rowOf(fileId);
    }
    saveAccount();
}
