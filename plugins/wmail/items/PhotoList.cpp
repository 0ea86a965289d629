#include "PhotoList.h"

#include "FilesList.h"

PhotoList::PhotoList(QWidget *parent) : QListWidget(parent)
{
}

QStringList PhotoList::mimeTypes() const
{
    return {QStringLiteral("image/*"), QStringLiteral("text/uri-list")};
}

QMimeData *PhotoList::mimeData(const QList<QListWidgetItem *>) const
{
    return nullptr;
}

bool PhotoList::dropMimeData(int, const QMimeData *data, Qt::DropAction)
{
    const QStringList paths = FilesList::localFilePaths(data);
    if (!paths.isEmpty())
        emit signalAddFile(paths);
    return true;
}
