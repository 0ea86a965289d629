#pragma once

#include <QListWidget>
#include <QStringList>

// The album editor's list: takes dropped files, gives nothing away.
class PhotoList : public QListWidget
{
    Q_OBJECT

public:
    explicit PhotoList(QWidget *parent = nullptr);

signals:
    void signalAddFile(const QStringList &paths);

protected:
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QList<QListWidgetItem *> items) const override;
    bool dropMimeData(int index, const QMimeData *data, Qt::DropAction action) override;
    Qt::DropActions supportedDropActions() const override { return Qt::CopyAction; }
};
