#include "ContactList.h"

ContactList::ContactList(QWidget *parent)
    : QTreeWidget(parent)
{
    setAutoFillBackground(false);
}

QStringList ContactList::mimeTypes() const
{
    return {QStringLiteral("image/*"), QStringLiteral("text/uri-list")};
}

QMimeData *ContactList::mimeData(const QList<QTreeWidgetItem *> items) const
{
    Q_UNUSED(items)
    return nullptr;
}

bool ContactList::dropMimeData(QTreeWidgetItem *parent, int index, const QMimeData *data, Qt::DropAction action)
{
    Q_UNUSED(parent)
    Q_UNUSED(index)
    Q_UNUSED(data)
    Q_UNUSED(action)
    return true;
}

Qt::DropActions ContactList::supportedDropActions() const
{
    return Qt::CopyAction;
}
