#include "FileList.h"

#include "DiscItemsMimeData.h"
#include "uiFileBrowser.h"

#include <QUrl>

FileList::FileList(QWidget *parent) : QTreeWidget(parent) {}

QStringList FileList::localPaths(const QMimeData *data)
{
    QStringList paths;
    for (const QUrl &url : data->urls())
        paths.append(url.toLocalFile());
    return paths;
}

QStringList FileList::dropFormats()
{
    return {QStringLiteral("image/*"), QStringLiteral("text/uri-list"), DiscItemsMimeData::Format};
}

QStringList FileList::mimeTypes() const
{
    return dropFormats();
}

Qt::DropActions FileList::supportedDropActions() const
{
    return Qt::CopyAction;
}

QMimeData *FileList::mimeData(const QList<QTreeWidgetItem *> items) const
{
    DiscItems dragged{m_dragFolder, {}};
    for (const QTreeWidgetItem *item : items) {
        const bool folder = uiFileBrowser::isFolderKind(item->data(1, uiFileBrowser::PathRole).toString());
        dragged.items.insert(item->data(0, uiFileBrowser::PathRole).toString(), !folder);
    }
    return DiscItemsMimeData::create(dragged);
}

bool FileList::dropMimeData(QTreeWidgetItem *parent, int, const QMimeData *data, Qt::DropAction)
{
    if (const DiscItems *dragged = DiscItemsMimeData::from(data))
        emit signalDiscItemsDropped(parent, *dragged);
    else if (data && data->hasUrls())
        emit signalFilesDropped(parent, localPaths(data));
    return true;
}
