#include "FileListIconView.h"

#include "DiscItemsMimeData.h"
#include "FileList.h"
#include "uiFileBrowser.h"

FileListIconView::FileListIconView(QWidget *parent) : QListWidget(parent) {}

QStringList FileListIconView::mimeTypes() const
{
    return FileList::dropFormats();
}

Qt::DropActions FileListIconView::supportedDropActions() const
{
    return Qt::CopyAction;
}

QMimeData *FileListIconView::mimeData(const QList<QListWidgetItem *> items) const
{
    DiscItems dragged{m_dragFolder, {}};
    for (const QListWidgetItem *item : items) {
        const bool folder = uiFileBrowser::isFolderKind(item->data(uiFileBrowser::KindRole).toString());
        dragged.items.insert(item->data(uiFileBrowser::PathRole).toString(), !folder);
    }
    return DiscItemsMimeData::create(dragged);
}

bool FileListIconView::dropMimeData(int, const QMimeData *data, Qt::DropAction)
{
    if (const DiscItems *dragged = DiscItemsMimeData::from(data))
        emit signalDiscItemsDropped(*dragged);
    else if (data && data->hasUrls())
        emit signalFilesDropped(FileList::localPaths(data));
    return true;
}
