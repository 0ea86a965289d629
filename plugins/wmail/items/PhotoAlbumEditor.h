#pragma once

#include <QAction>
#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QWidget>

class PhotoList;
class QToolBar;

// The photo-album item's editor: the user collects pictures and sends them
// as one "photoalbum" item.
class PhotoAlbumEditor : public QWidget
{
    Q_OBJECT

public:
    explicit PhotoAlbumEditor(QWidget *parent = nullptr, const QList<QAction *> &leadingActions = {});

    PhotoList *list() const { return m_list; }
    // The item data of the pictures at paths; empty when there are none or
    // the user cancels.
    QByteArray encodePictures(const QStringList &paths);

signals:
    void signalNewContentRequest(const QByteArray &data, const QString &pluginName);

public slots:
    void slotAddFiles(const QStringList &paths);
    void on_actionAdd_files_triggered();
    void on_actionDelete_triggered();
    void on_actionSend_files_triggered();

private:
    QStringList listedPaths() const;

    QToolBar *m_toolBar;
    PhotoList *m_list;
};
