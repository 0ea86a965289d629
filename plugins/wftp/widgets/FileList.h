#pragma once

#include <QStringList>
#include <QTreeWidget>

struct DiscItems;

// The browser's list view: takes files dropped from other programs (as
// local paths, for an upload) and entries dragged out of a contact's folder
// (for a download); gives those entries to drag while it shows such a folder.
class FileList : public QTreeWidget
{
    Q_OBJECT

public:
    explicit FileList(QWidget *parent = nullptr);

    // The local path of each URL in order; "" for one that is not a local file.
    static QStringList localPaths(const QMimeData *data);
    // The formats both browser views take.
    static QStringList dropFormats();

    // The contact's folder whose entries are shown; "" while the view shows
    // the disc list or an own folder (nothing is dragged out then).
    void setDragFolder(const QString &folder) { m_dragFolder = folder; }

signals:
    // parent: the item dropped on, or null.
    void signalFilesDropped(QTreeWidgetItem *parent, QStringList paths);
    void signalDiscItemsDropped(QTreeWidgetItem *parent, const DiscItems &dragged);

protected:
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;
    QMimeData *mimeData(const QList<QTreeWidgetItem *> items) const override;
    // Accepted whatever it holds, so a drop never bounces back to its source.
    bool dropMimeData(QTreeWidgetItem *parent, int index, const QMimeData *data, Qt::DropAction action) override;

private:
    QString m_dragFolder;
};
