#include "PhotoList.h"

#include <QMimeData>
#include <QUrl>

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
