#pragma once

#include <QStringList>
#include <QTreeWidget>

// The browser's list view: takes files dropped from other programs (as
// local paths, for an upload) and gives nothing to drag out.
class FileList : public QTreeWidget
{
    Q_OBJECT

public:
    explicit FileList(QWidget *parent = nullptr);

    // The local path of each URL in order; "" for one that is not a local file.
    static QStringList localPaths(const QMimeData *data);

signals:
    // parent: the item dropped on, or null.
    void signalFilesDropped(QTreeWidgetItem *parent, QStringList paths);

protected:
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;
    QMimeData *mimeData(const QList<QTreeWidgetItem *> items) const override;
    // Accepted whatever it holds, so a drop never bounces back to its source.
    bool dropMimeData(QTreeWidgetItem *parent, int index, const QMimeData *data, Qt::DropAction action) override;
};
