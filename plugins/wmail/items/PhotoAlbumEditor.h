#pragma once

#include <QAction>
#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QWidget>

#include <functional>

class PhotoList;
class QToolBar;

// The photo-album item's editor: the user collects pictures and sends them
// as one "photoalbum" item. Pictures are decoded and scaled on the pool: a
// row shows at once and gets its thumbnail when it is made.
class PhotoAlbumEditor : public QWidget
{
    Q_OBJECT

public:
    explicit PhotoAlbumEditor(QWidget *parent = nullptr, const QList<QAction *> &leadingActions = {});

    PhotoList *list() const { return m_list; }
    // Makes the item data of the pictures at paths on the pool and hands it
    // to encoded, unless there are none, the user cancels or the editor goes.
    void encodePictures(const QStringList &paths, const std::function<void(const QByteArray &)> &encoded);

signals:
    void signalNewContentRequest(const QByteArray &data, const QString &pluginName);

public slots:
    void slotAddFiles(const QStringList &paths);
    void on_actionAdd_files_triggered();
    void on_actionDelete_triggered();
    void on_actionSend_files_triggered();

private:
    QStringList listedPaths() const;
    void showThumbnail(const QString &path, const QImage &thumbnail);

    QToolBar *m_toolBar;
    PhotoList *m_list;
};
