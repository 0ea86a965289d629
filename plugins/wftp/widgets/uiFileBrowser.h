#pragma once

#include <FolderListing.h>

#include <QHash>
#include <QIcon>
#include <QImage>
#include <QMap>
#include <QStringList>
#include <QWidget>

class FileList;
class FileListIconView;
struct DiscItems;
class QAction;
class QLabel;
class QListWidgetItem;
class QStackedWidget;
class QToolBar;
class QTreeWidgetItem;
class TransferManager;
class WDataStructure;
class WFtpMain;

// Walks shared discs: at "/" the discs it was given, inside a disc one
// folder's entries in a list or an icon view. Own discs are read by the
// engine, contacts' through the listing cache (which may wait for the owner
// in a nested event loop). Its tool bar creates, renames and deletes entries,
// stops sharing discs, and hands downloads, uploads and drops to the
// transfer manager.
//
// Lives on the GUI thread. requestListDirectory, requestListDisc and
// setFileThumbnail may be called from any thread: they take effect on the GUI
// thread, in the order they were called.
class uiFileBrowser : public QWidget
{
    Q_OBJECT

public:
    // Items keep their virtual path in this role, their kind ("disc",
    // "directory" or an extension) in it on the tree's second column or in
    // KindRole on an icon.
    static constexpr int PathRole = Qt::UserRole + 1;
    static constexpr int KindRole = Qt::UserRole + 2;

    uiFileBrowser(WFtpMain &main, TransferManager &transfers, QWidget *parent = nullptr);

    // The discs shown at "/" and the location shown ("/": the disc list).
    // The page that owns the browser writes both on the GUI thread.
    QStringList discPaths;
    QString currentPath = QStringLiteral("/");

    // Shows the current location again; reload bypasses the listing cache.
    void requestListDirectory(bool reload);
    void requestListDisc();
    // A picture for a file of folderPath: shown in the icon view while that
    // folder is shown there.
    void setFileThumbnail(const QString &folderPath, const QString &fileName, const QImage &image);
    // Share Folder and Folder properties (hidden for contacts' discs).
    void setSharingActionsVisible(bool visible);

    // The picture of an item kind, loaded once.
    QImage iconForKey(const QString &key);
    // "1024 bytes", "1 KB", "1 MB".
    static QString formatSize(qint64 bytes);
    // "3 item(s), 12 KB".
    static QString statusText(int count, qint64 bytes);
    // Where Up goes from path: "/" from a disc's root or "/".
    static QString parentLocation(const QString &path, const QStringList &discPaths);
    // A disc or a folder: something to open, list and drop into.
    static bool isFolderKind(const QString &kind);

    FileList *treeWidget() const { return m_tree; }
    FileListIconView *iconView() const { return m_icons; }
    bool isIconViewCurrent() const;
    QString statusLine() const;

signals:
    void signalSetToolbarButtonsState(bool enabled);
    void signalListDirectory(bool reload);
    void signalListDisc();
    void signalClearTreeItems();

public slots:
    void slotSetToolbarButtonsState(bool enabled);
    void slotListDirectory(bool reload);
    void slotListDisc();
    void slotFilesDropped(QTreeWidgetItem *item, const QStringList &paths);
    void slotIconViewItemActivated(QListWidgetItem *item);
    void slotIconViewFilesDropped(const QStringList &paths);
    // Entries dragged out of a contact's folder: downloaded into the own
    // folder they were dropped on (item, or the folder shown).
    void slotDiscItemsDropped(QTreeWidgetItem *item, const DiscItems &dragged);
    void slotIconViewDiscItemsDropped(const DiscItems &dragged);
    void on_actionShare_Folder_triggered();

private slots:
    void on_actionList_View_triggered();
    void on_actionIcon_View_triggered();
    void on_actionFolder_properties_triggered();
    void on_treeWidget_customContextMenuRequested(const QPoint &pos);
    void on_actionUpload_triggered();
    void on_actionDownload_triggered();
    void on_actionDelete_triggered();
    void on_actionRename_triggered();
    void on_actionNew_folder_triggered();
    void on_actionRefresh_triggered();
    void on_actionUp_triggered();
    void on_treeWidget_itemActivated(QTreeWidgetItem *item, int column);

private:
    // An entry of the view that is current: its path, kind and name.
    struct Entry
    {
        QString path;
        QString kind;
        QString name;
    };

    QAction *addAction(const char *objectName, const QString &text, const char *icon);
    // The path line: the location as its owner named it.
    void showLocation();
    void buildForm();
    // One listing of currentPath; false when the location changed while it
    // was fetched (its result is dropped then).
    bool listCurrentFolder(bool reload);
    FolderListing fetchListing(const QString &path, bool reload);
    void addTreeEntry(const QString &folder, const WDataStructure &row);
    void addIconEntry(const QString &folder, const WDataStructure &row);
    QIcon iconFor(const QString &key);
    void setStatus(int count, qint64 bytes);
    void navigate(const QString &path);
    // Views give entries to drag only while they show a contact's folder.
    void setDragFolder(const QString &folder);
    // Where a drop on item (or beside any item) goes: that folder or disc,
    // else the folder shown; "/" when it can go nowhere.
    QString dropTarget(QTreeWidgetItem *item) const;
    bool isOwnPath(const QString &path) const;
    QString ownUser() const;

    QList<Entry> selectedEntries() const;
    void downloadSelected();
    // Hands local paths to an upload into target, one transfer per folder
    // the paths lie in, so each keeps its own name there.
    void uploadPaths(const QStringList &paths, const QString &target);
    // Downloads a contact's entries into the own folder target.
    void downloadInto(const QString &target, const DiscItems &dragged);
    void stopSharingSelected(const QList<Entry> &selection);
    // Tells why nothing changed and what the user can do: `what` failed in
    // folder, which may need that right from its owner.
    enum class Right { Write, Delete };
    void tellRefusal(const QString &title, const QString &what, const QString &folder, Right right);
    static QStringList shownPaths(const QStringList &paths);
    void deleteSelected(const QList<Entry> &selection, const QString &folder);

    WFtpMain &m_main;
    TransferManager &m_transfers;

    QToolBar *m_toolBar = nullptr;
    QLabel *m_pathLabel = nullptr;
    QLabel *m_status = nullptr;
    QStackedWidget *m_stack = nullptr;
    FileList *m_tree = nullptr;
    FileListIconView *m_icons = nullptr;
    QMap<QString, QAction *> m_actions;

    QMap<QString, QImage> m_iconCache;
    QHash<QString, QIcon> m_kindIcons;
    // A folder listing is being fetched (possibly waiting for its owner in a
    // nested event loop): requests meanwhile are remembered, not nested.
    bool m_listing = false;
    bool m_relistPending = false;
    bool m_relistReload = false;
};
