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

bool FilesList::dropMimeData(QTreeWidgetItem *, int, const QMimeData *data, Qt::DropAction)
{
    if (!data || !data->hasUrls())
        return true;
    QStringList paths;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    if (!paths.isEmpty())
        emit signalAddFile(paths);
    return true;
}
