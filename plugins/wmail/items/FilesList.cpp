#include "FilesList.h"

#include <QMimeData>
#include <QUrl>

FilesList::FilesList(QWidget *parent) : QTreeWidget(parent)
{
}

QStringList FilesList::mimeTypes() const
{
    return {QStringLiteral("image/*"), QStringLiteral("text/uri-list")};
}

QMimeData *FilesList::mimeData(const QList<QTreeWidgetItem *>) const
{
    return nullptr;
}

QStringList FilesList::localFilePaths(const QMimeData *data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    return paths;
}

bool FilesList::dropMimeData(QTreeWidgetItem *, int, const QMimeData *data, Qt::DropAction)
{
    const QStringList paths = localFilePaths(data);
    if (!paths.isEmpty())
        emit signalAddFile(paths);
    return true;
}
