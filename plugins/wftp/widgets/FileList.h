#pragma once

#include <QStringList>
#include <QTreeWidget>

// A list that takes local files dropped on it and hands their paths on; it
// gives nothing to drag out.
class FileList : public QTreeWidget
{
    Q_OBJECT

public:
    explicit FileList(QWidget *parent = nullptr);

signals:
    // The local-file form of each dropped URL, in URL order ("" for a URL
    // that is not a local file); parent is the item under the drop or null.
    void signalFilesDropped(QTreeWidgetItem *parent, QStringList paths);

protected:
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;
    QMimeData *mimeData(const QList<QTreeWidgetItem *> items) const override;
    bool dropMimeData(QTreeWidgetItem *parent, int index, const QMimeData *data, Qt::DropAction action) override;
};
