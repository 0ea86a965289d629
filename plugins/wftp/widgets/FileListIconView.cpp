#include "FileListIconView.h"

#include "FileList.h"

#include <QMimeData>

FileListIconView::FileListIconView(QWidget *parent) : QListWidget(parent) {}

QStringList FileListIconView::mimeTypes() const
{
    return {QStringLiteral("image/*"), QStringLiteral("text/uri-list")};
}

Qt::DropActions FileListIconView::supportedDropActions() const
{
    return Qt::CopyAction;
}

QMimeData *FileListIconView::mimeData(const QList<QListWidgetItem *>) const
{
    return nullptr;
}

bool FileListIconView::dropMimeData(int, const QMimeData *data, Qt::DropAction)
{
    if (data && data->hasUrls())
        emit signalFilesDropped(FileList::localPaths(data));
    return true;
}
