#include "PhotoAlbumEditor.h"

#include "ItemEditorToolBar.h"
#include "ItemEncoding.h"
#include "PhotoAlbumPlugin.h"
#include "PhotoList.h"
#include "WMailPhotoAlbum.h"

#include <PSettings.h>

#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QGridLayout>
#include <QImage>
#include <QMessageBox>
#include <QPixmap>
#include <QToolBar>
#include <QtConcurrent>

namespace {
const int kPathRole = Qt::UserRole + 1;

struct AlbumThumbnail
{
    QString path;
    // Null when the file is no picture.
    QImage image;
};

AlbumThumbnail makeAlbumThumbnail(const QString &path)
{
    const int side = WMailPhotoAlbum::ThumbnailSide;
    QImage image;
    if (!image.load(path))
        return {path, QImage()};
    return {path, image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)};
}
} // namespace

PhotoAlbumEditor::PhotoAlbumEditor(QWidget *parent, const QList<QAction *> &leadingActions)
    : QWidget(parent), m_toolBar(new QToolBar(this)), m_list(new PhotoList(this))
{
    setObjectName(QStringLiteral("PhotoAlbumEditorClass"));
    setWindowTitle(QStringLiteral("PhotoAlbumEditor"));
    resize(400, 300);
    using ItemEditorToolBar::action;
    QAction *add = action(this, QStringLiteral("actionAdd_files"), tr("Add files"),
                          QStringLiteral(":/fileseditor/Resources/addfiles.png"));
    QAction *remove = action(this, QStringLiteral("actionDelete"), tr("Delete"),
                             QStringLiteral(":/fileseditor/Resources/delete.png"));
    QAction *send = action(this, QStringLiteral("actionSend_files"), tr("Send files"),
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
    QStringList added;
    for (const QString &path : paths) {
        if (added.contains(path) || listedPaths().contains(path) || !QFileInfo(path).isFile())
            continue;
        added << path;
        // In the order added; the thumbnail comes when it is made.
        auto *row = new QListWidgetItem(QFileInfo(path).fileName(), m_list);
        row->setData(kPathRole, path);
    }
    if (added.isEmpty())
        return;
    for (const QString &path : qAsConst(added)) {
        // A task a picture: they are made side by side, each shown when done.
        auto *thumbnail = new QFutureWatcher<AlbumThumbnail>(this);
        connect(thumbnail, &QFutureWatcherBase::finished, this, [this, thumbnail] {
            const AlbumThumbnail made = thumbnail->result();
            showThumbnail(made.path, made.image);
            thumbnail->deleteLater();
        });
        thumbnail->setFuture(QtConcurrent::run(makeAlbumThumbnail, path));
    }
}

void PhotoAlbumEditor::showThumbnail(const QString &path, const QImage &thumbnail)
{
    // The user may have removed the row meanwhile.
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem *const row = m_list->item(i);
        if (row->data(kPathRole).toString() != path || !row->icon().isNull())
            continue;
        if (thumbnail.isNull())
            delete row;
        else
            row->setIcon(QIcon(QPixmap::fromImage(thumbnail)));
        return;
    }
}

void PhotoAlbumEditor::encodePictures(const QStringList &paths,
                                      const std::function<void(const QByteArray &)> &encoded)
{
    if (paths.isEmpty())
        return;
    const auto work = [paths](const std::function<bool(int)> &proceed) {
        QByteArray entries;
        int pictures = 0;
        for (int i = 0; i < paths.size(); ++i) {
            if (!proceed(i))
                return ItemEncoding::Result();
            // A file that is no picture (or no longer one) is left out of
            // the count too.
            if (WMailPhotoAlbum::appendPicture(&entries, paths.at(i)))
                ++pictures;
        }
        proceed(paths.size());
        return ItemEncoding::Result{pictures ? WMailPhotoAlbum::itemData(pictures, entries) : QByteArray(), QString()};
    };
    ItemEncoding::start(this, tr("Preparing pictures..."), paths.size(), work,
                        [encoded](const ItemEncoding::Result &result) {
                            if (!result.data.isEmpty())
                                encoded(result.data);
                        });
}

void PhotoAlbumEditor::on_actionAdd_files_triggered()
{
    const QStringList paths =
        QFileDialog::getOpenFileNames(window(), tr("Select files"),
                                      PSettings::GetValue(PSettings::LastFolderKey).toString(),
                                      tr("Images (*.png *.xpm *.jpg *.tif *.gif)"));
    if (paths.isEmpty())
        return;
    PSettings::SetValue(PSettings::LastFolderKey, QFileInfo(paths.first()).absolutePath());
    slotAddFiles(paths);
}

void PhotoAlbumEditor::on_actionDelete_triggered()
{
    if (m_list->selectedItems().isEmpty()
        || QMessageBox::question(window(), tr("Delete files"),
                                 tr("Do you want to remove the selected files?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes)
        return;
    qDeleteAll(m_list->selectedItems());
}

void PhotoAlbumEditor::on_actionSend_files_triggered()
{
    encodePictures(listedPaths(), [this](const QByteArray &data) {
        emit signalNewContentRequest(data, PhotoAlbumPlugin::Name);
        m_list->clear();
    });
}
