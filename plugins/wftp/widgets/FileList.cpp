#include "FileList.h"

#include <QMimeData>
#include <QUrl>

FileList::FileList(QWidget *parent) : QTreeWidget(parent) {}

QStringList FileList::localPaths(const QMimeData *data)
{
    QStringList paths;
    for (const QUrl &url : data->urls())
        paths.append(url.toLocalFile());
    return paths;
}

QStringList FileList::mimeTypes() const
{
    return {QStringLiteral("image/*"), QStringLiteral("text/uri-list")};
}

Qt::DropActions FileList::supportedDropActions() const
{
    return Qt::CopyAction;
}

QMimeData *FileList::mimeData(const QList<QTreeWidgetItem *>) const
{
    return nullptr;
}

bool FileList::dropMimeData(QTreeWidgetItem *parent, int, const QMimeData *data, Qt::DropAction)
{
    if (data && data->hasUrls())
        emit signalFilesDropped(parent, localPaths(data));
    return true;
}
