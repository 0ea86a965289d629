#pragma once

#include <QAction>
#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QWidget>

#include <functional>

class FilesList;
class QLabel;
class QToolBar;

// The files item's editor: the user collects local files and sends them as
// one "files" item.
class FilesEditor : public QWidget
{
    Q_OBJECT

public:
    // Above this total the user is asked before the files are read.
    static constexpr qint64 LargeTotal = 5000000;

    explicit FilesEditor(QWidget *parent = nullptr, const QList<QAction *> &leadingActions = {});

    FilesList *list() const { return m_list; }
    QString totalText() const;
    // Reads the files at paths on the pool and hands their item data to
    // encoded, unless the user declines or cancels, the editor goes, or they
    // cannot be sent (the user is told why).
    void encodeFiles(const QStringList &paths, const std::function<void(const QByteArray &)> &encoded);

signals:
    void signalNewContentRequest(const QByteArray &data, const QString &pluginName);

public slots:
    void slotAddFiles(const QStringList &paths);
    void on_actionSend_files_triggered();
    void on_actionAdd_files_triggered();
    void on_actionDelete_files_triggered();

private:
    QStringList listedPaths() const;
    void updateTotal();

    QToolBar *m_toolBar;
    FilesList *m_list;
    QLabel *m_total;
};
