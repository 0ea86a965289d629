#include "PhotoAlbumEditor.h"

#include "ItemEditorToolBar.h"
#include "PhotoAlbumPlugin.h"
#include "PhotoList.h"
#include "WMailPhotoAlbum.h"

#include <PSettings.h>

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QImage>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressDialog>
#include <QToolBar>

namespace {
const int kPathRole = Qt::UserRole + 1;
} // namespace

PhotoAlbumEditor::PhotoAlbumEditor(QWidget *parent, const QList<QAction *> &leadingActions)
    : QWidget(parent), m_toolBar(new QToolBar(this)), m_list(new PhotoList(this))
{
    setObjectName(QStringLiteral("PhotoAlbumEditorClass"));
    setWindowTitle(QStringLiteral("PhotoAlbumEditor"));
    resize(400, 300);
    using ItemEditorToolBar::action;
    QAction *add = action(this, QStringLiteral("actionAdd_files"), QStringLiteral("Add files"),
                          QStringLiteral(":/fileseditor/Resources/addfiles.png"));
    QAction *remove = action(this, QStringLiteral("actionDelete"), QStringLiteral("Delete"),
                             QStringLiteral(":/fileseditor/Resources/delete.png"));
    QAction *send = action(this, QStringLiteral("actionSend_files"), QStringLiteral("Send files"),
                           QStringLiteral(":/fileseditor/Resources/up.png"));
    ItemEditorToolBar::fill(m_toolBar, leadingActions, add, remove, send);

    m_list->setAcceptDrops(true);
    m_list->setDragDropMode(QAbstractItemView::DropOnly);
    m_list->setDragEnabled(true);
    m_list->setDropIndicatorShown(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setViewMode(QListView::IconMode);
    const int side = WMailPhotoAlbum::ThumbnailSide;
    m_list->setIconSize(QSize(side, side));

    auto *outer = new QGridLayout(this);
    outer->setObjectName(QStringLiteral("gridLayout_2"));
    outer->setSpacing(2);
    outer->setContentsMargins(2, 2, 2, 2);
    auto *grid = new QGridLayout;
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setSpacing(6);
    outer->addLayout(grid, 0, 0);
    grid->addWidget(m_toolBar, 0, 0);
    grid->addWidget(m_list, 1, 0);

    connect(m_list, &PhotoList::signalAddFile, this, &PhotoAlbumEditor::slotAddFiles);
    QMetaObject::connectSlotsByName(this);
}

QStringList PhotoAlbumEditor::listedPaths() const
{
    QStringList paths;
    for (int i = 0; i < m_list->count(); ++i)
        paths << m_list->item(i)->data(kPathRole).toString();
    return paths;
}

void PhotoAlbumEditor::slotAddFiles(const QStringList &paths)
{
    const int side = WMailPhotoAlbum::ThumbnailSide;
    for (const QString &path : paths) {
        if (listedPaths().contains(path) || !QFileInfo(path).isFile())
            continue;
        QImage image;
        if (!image.load(path))
            continue;
        auto *row = new QListWidgetItem(
            QIcon(QPixmap::fromImage(image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation))),
            QFileInfo(path).fileName(), m_list);
        row->setData(kPathRole, path);
    }
}

QByteArray PhotoAlbumEditor::encodePictures(const QStringList &paths)
{
    if (paths.isEmpty())
        return QByteArray();
    QProgressDialog progress(tr("Preparing pictures..."), tr("Cancel"), 0, paths.size(), this);
    progress.setWindowModality(Qt::WindowModal);
    QByteArray entries;
    for (int i = 0; i < paths.size(); ++i) {
        progress.setValue(i);
        if (progress.wasCanceled())
            return QByteArray();
        WMailPhotoAlbum::appendPicture(&entries, paths.at(i));
    }
    progress.setValue(paths.size());
    return WMailPhotoAlbum::itemData(paths.size(), entries);
}

void PhotoAlbumEditor::on_actionAdd_files_triggered()
{
    const QStringList paths =
        QFileDialog::getOpenFileNames(window(), QStringLiteral("Select files"),
                                      PSettings::GetValue(PSettings::LastFolderKey).toString(),
                                      QStringLiteral("Images (*.png *.xpm *.jpg *.tif *gif)"));
    if (paths.isEmpty())
        return;
    PSettings::SetValue(PSettings::LastFolderKey, QFileInfo(paths.first()).absolutePath());
    slotAddFiles(paths);
}

void PhotoAlbumEditor::on_actionDelete_triggered()
{
    if (m_list->selectedItems().isEmpty()
        || QMessageBox::question(window(), QStringLiteral("Delete files"),
                                 QStringLiteral("Do you want to remove selected files?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes)
        return;
    qDeleteAll(m_list->selectedItems());
}

void PhotoAlbumEditor::on_actionSend_files_triggered()
{
    const QByteArray data = encodePictures(listedPaths());
    if (data.isEmpty())
        return;
    emit signalNewContentRequest(data, PhotoAlbumPlugin::Name);
    m_list->clear();
}
