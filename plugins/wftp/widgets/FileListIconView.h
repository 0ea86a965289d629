#pragma once

#include <QListWidget>
#include <QStringList>

// The browser's icon view: takes files dropped from other programs (as local
// paths, for an upload) and gives nothing to drag out.
class FileListIconView : public QListWidget
{
    Q_OBJECT

public:
    explicit FileListIconView(QWidget *parent = nullptr);

signals:
    void signalFilesDropped(QStringList paths);

protected:
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;
    QMimeData *mimeData(const QList<QListWidgetItem *> items) const override;
    // Accepted whatever it holds, so a drop never bounces back to its source.
    bool dropMimeData(int index, const QMimeData *data, Qt::DropAction action) override;
};
