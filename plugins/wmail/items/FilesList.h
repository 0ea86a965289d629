#pragma once

#include <QStringList>
#include <QTreeWidget>

// The files editor's list: takes dropped files, gives nothing away.
class FilesList : public QTreeWidget
{
    Q_OBJECT

public:
    explicit FilesList(QWidget *parent = nullptr);

    // The local files among dropped URLs, in their order (the photo list
    // takes drops the same way).
    static QStringList localFilePaths(const QMimeData *data);

signals:
    void signalAddFile(const QStringList &paths);

protected:
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QList<QTreeWidgetItem *> items) const override;
    bool dropMimeData(QTreeWidgetItem *parent, int index, const QMimeData *data, Qt::DropAction action) override;
    Qt::DropActions supportedDropActions() const override { return Qt::CopyAction; }
};
