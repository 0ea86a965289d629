#pragma once

#include <QListWidget>
#include <QStringList>

struct DiscItems;

// The browser's icon view: takes files dropped from other programs (as local
// paths, for an upload) and entries dragged out of a contact's folder (for a
// download); gives those entries to drag while it shows such a folder.
class FileListIconView : public QListWidget
{
    Q_OBJECT

public:
    explicit FileListIconView(QWidget *parent = nullptr);

    // As FileList::setDragFolder.
    void setDragFolder(const QString &folder) { m_dragFolder = folder; }

signals:
    void signalFilesDropped(QStringList paths);
    void signalDiscItemsDropped(const DiscItems &dragged);

protected:
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;
    QMimeData *mimeData(const QList<QListWidgetItem *> items) const override;
    // Accepted whatever it holds, so a drop never bounces back to its source.
    bool dropMimeData(int index, const QMimeData *data, Qt::DropAction action) override;

private:
    QString m_dragFolder;
};
