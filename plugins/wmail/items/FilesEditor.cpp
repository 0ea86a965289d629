#include "FilesEditor.h"

#include "FilesList.h"
#include "ItemEditorToolBar.h"
#include "ItemEncoding.h"
#include "FilesPlugin.h"
#include "WMailFiles.h"

#include <PSettings.h>

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QToolBar>

namespace {
const int kFileRole = Qt::UserRole + 1;
} // namespace

FilesEditor::FilesEditor(QWidget *parent, const QList<QAction *> &leadingActions)
    : QWidget(parent), m_toolBar(new QToolBar(this)), m_list(new FilesList(this)),
      m_total(new QLabel(tr("0 Kb"), this))
{
    setWindowTitle(tr("FilesEditor"));
    resize(400, 300);
    using ItemEditorToolBar::action;
    QAction *add = action(this, QStringLiteral("actionAdd_files"), tr("Add files"),
                          QStringLiteral(":/fileseditor/Resources/addfiles.png"));
    QAction *remove = action(this, QStringLiteral("actionDelete_files"), tr("Delete files"),
                             QStringLiteral(":/fileseditor/Resources/delete.png"));
    QAction *send = action(this, QStringLiteral("actionSend_files"), tr("Send files"),
                           QStringLiteral(":/fileseditor/Resources/up.png"));
    ItemEditorToolBar::fill(m_toolBar, leadingActions, add, remove, send);

    m_list->setHeaderLabels({tr("Files"), tr("Size")});
    m_list->setRootIsDecorated(false);
    m_list->setAcceptDrops(true);
    m_list->setDragDropMode(QAbstractItemView::DropOnly);
    m_list->setDragEnabled(true);
    m_list->setDropIndicatorShown(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);

    QFont bold = m_total->font();
    bold.setBold(true);
    m_total->setFont(bold);
    m_total->setObjectName(QStringLiteral("label"));
    auto *caption = new QLabel(tr("Total size:"), this);
    caption->setObjectName(QStringLiteral("label_2"));

    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->addWidget(m_toolBar, 0, 0, 1, 3);
    grid->addWidget(m_list, 1, 0, 1, 3);
    grid->addWidget(caption, 2, 0);
    grid->addWidget(m_total, 2, 1);
    grid->setColumnStretch(2, 1);

    connect(m_list, &FilesList::signalAddFile, this, &FilesEditor::slotAddFiles);
    QMetaObject::connectSlotsByName(this);
}

QString FilesEditor::totalText() const
{
    return m_total->text();
}

QStringList FilesEditor::listedPaths() const
{
    QStringList paths;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i)
        paths << m_list->topLevelItem(i)->data(0, kFileRole).toString();
    return paths;
}

void FilesEditor::updateTotal()
{
    qint64 total = 0;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i)
        total += m_list->topLevelItem(i)->data(1, kFileRole).toLongLong();
    m_total->setText(WMailFiles::formatSize(total));
}

void FilesEditor::slotAddFiles(const QStringList &paths)
{
    for (const QString &path : paths) {
        const QFileInfo info(path);
        // Only regular files: a folder would be counted but never sent.
        if (listedPaths().contains(path) || !info.isFile())
            continue;
        auto *row = new QTreeWidgetItem(m_list, {info.fileName(), WMailFiles::formatSize(info.size())});
        row->setData(0, kFileRole, path);
        row->setData(1, kFileRole, info.size());
    }
    updateTotal();
}

void FilesEditor::encodeFiles(const QStringList &paths, const std::function<void(const QByteArray &)> &encoded)
{
    if (paths.isEmpty())
        return;
    qint64 total = 0;
    for (const QString &path : paths)
        total += QFileInfo(path).size();
    QPointer<FilesEditor> self(this);
    if (total > LargeTotal
        && QMessageBox::question(window(), tr("Large files"),
                                 tr("Files you want to send are quite big. It may takes a while to send them all. "
                                    "Do you want to send them anyway?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes)
        return;
    if (!self)
        return;
    const auto work = [paths](const std::function<bool(int)> &proceed) {
        ItemEncoding::Result result;
        result.data = WMailFiles::encode(paths, &result.error, proceed);
        return result;
    };
    ItemEncoding::start(this, tr("Preparing files..."), paths.size(), work,
                        [this, encoded](const ItemEncoding::Result &result) {
                            if (!result.error.isEmpty())
                                QMessageBox::warning(window(), tr("Send files"), result.error);
                            else if (!result.data.isEmpty())
                                encoded(result.data);
                        });
}

void FilesEditor::on_actionSend_files_triggered()
{
    encodeFiles(listedPaths(), [this](const QByteArray &data) {
        emit signalNewContentRequest(data, FilesPlugin::Name);
        m_list->clear();
        updateTotal();
    });
}

void FilesEditor::on_actionAdd_files_triggered()
{
    const QStringList paths = QFileDialog::getOpenFileNames(window(), tr("Select files"),
                                                            PSettings::GetValue(PSettings::LastFolderKey).toString());
    if (paths.isEmpty())
        return;
    PSettings::SetValue(PSettings::LastFolderKey, QFileInfo(paths.first()).absolutePath());
    slotAddFiles(paths);
}

void FilesEditor::on_actionDelete_files_triggered()
{
    if (m_list->selectedItems().isEmpty()
        || QMessageBox::question(window(), tr("Delete files"), tr("Do you want to remove selected files?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes)
        return;
    qDeleteAll(m_list->selectedItems());
    updateTotal();
}
