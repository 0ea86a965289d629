#pragma once

#include <QStringList>
#include <QWidget>

class FileList;
class QAction;
class QTreeWidgetItem;
class WDataStructure;
class WFtpMain;

// The files the user publishes on the service's web site: one row per
// record of "wftp/sharedwebfiles" with its local path, public link and
// expiry. From here files are published (chosen or dropped), their expiry
// and password changed, their publishing stopped and their links copied.
// The records live in the account (WFtpEngine); the rows only show them.
class uiWebSharedFiles : public QWidget
{
    Q_OBJECT

public:
    // Item data role of each column's key: the record's identifier (column
    // 0), the link (1) and the password (2).
    static constexpr int KeyRole = Qt::UserRole + 1;
    enum Column { PathColumn = 0, LinkColumn = 1, ExpiryColumn = 2 };

    explicit uiWebSharedFiles(WFtpMain &main, QWidget *parent = nullptr);

    FileList *fileList() const { return m_treeWidget; }
    // May be called from any thread; the list is rebuilt on its own thread.
    void refreshFiles();

signals:
    void signalRefreshFiles();

public slots:
    // Drops overdue records, then shows the rest. Called off the list's
    // thread, it asks for a reload there instead.
    void loadSharedFiles();
    void on_treeWidget_itemActivated(QTreeWidgetItem *item, int column);
    void slotFilesDropped(QTreeWidgetItem *item, const QStringList &files);
    void on_treeWidget_customContextMenuRequested(const QPoint &position);
    void slotAddFiles(const QStringList &flist);
    void on_actionAdd_File_triggered();
    void on_actionCopy_Web_Link_triggered();
    void on_actionDelete_file_triggered();

private:
    void addRow(const QString &shownPath, const WDataStructure &record);
    QTreeWidgetItem *rowOf(const QString &fileId) const;
    // Through the engine, which never writes an account while logged out.
    void saveAccount();

    WFtpMain &m_main;
    FileList *m_treeWidget;
    QAction *m_actionAdd_File;
    QAction *m_actionDelete_file;
    QAction *m_actionCopy_Web_Link;
};
