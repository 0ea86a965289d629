#pragma once

#include "FileOpener.h"
#include "FolderReader.h"
#include "IAccountProvider.h"
#include "OpenedFileTable.h"
#include "ResolvedPath.h"
#include "SmallFileBatch.h"
#include "ThumbnailScheduler.h"

#include <KvrConfig.h>
#include <WDataStructure.h>

#include <QDateTime>
#include <QImage>
#include <QMap>
#include <QObject>
#include <QStringList>

#include <functional>

// The serving side of file sharing on the owner's machine: the shared discs,
// folders and permitted users kept in the account ("wftp/..." in accountData),
// the rights they grant, virtual paths and their safe translation to local
// paths, the folder and file operations peers may ask for, the files opened on
// their behalf, thumbnails, and the files published on the web.
//
// Every peer-facing operation is judged for the user a link authenticated,
// and every virtual path goes through resolve(): nothing outside a shared
// folder's directory is ever read, written, created or deleted.
class WFtpEngine : public QObject
{
    Q_OBJECT

public:
    // Caps on what one request may ask for.
    static constexpr qint64 MaxPeerReadBytes = 4 * 1024 * 1024;
    static constexpr qint64 MaxWebReadBytes = 1024 * 1024;
    // The largest chunk a transfer moves in one request. A write may start at
    // most this far past a file's end: uploads write where the last chunk
    // ended, and no peer gets to make a sparse file of a size it picks.
    static constexpr qint64 MaxPeerChunkBytes = 1024 * 1024;
    static constexpr qint64 MaxIdleMs = 60 * 1000;
    static constexpr int ThumbnailDelayMs = 200;

    // How much of a folder one listing reply to a peer carries: rows and
    // bytes of their text. Well under the 16 MiB frame, and what the owner
    // holds per listing it builds; each page costs one pass over the folder,
    // so pages are as large as that allows.
    struct PageLimits
    {
        int rows = 2000;
        int bytes = 1024 * 1024;
    };

    // One page of a folder's listing for a peer.
    struct ListingPage
    {
        bool ok = false; // false: refused, or no folder there
        WDataStructure rows;
        QString next; // the name the following page starts after; "" on the last page
    };

    enum class OpenMode {
        Default,  // read-write when the user may write (creating a missing file), else read-only
        ReadOnly, // an existing file, for reading
        Replace,  // write a new file that replaces this one once whole
    };

    // Receives one thumbnail for a peer: the listed folder and the serialised
    // listing row with its "thumbnail".
    using ThumbnailDelivery = std::function<void(const QString &folderPath, const QString &row)>;

    explicit WFtpEngine(QObject *parent = nullptr);
    WFtpEngine(const QSharedPointer<IAccountProvider> &provider, QObject *parent = nullptr);
    ~WFtpEngine() override;

    void setAccountProvider(const QSharedPointer<IAccountProvider> &provider);
    // Milliseconds since the epoch; tests move time with it.
    void setClock(std::function<qint64()> clock);

    // Discs.
    QSharedPointer<WDataStructure> getSharedDiscs();
    QSharedPointer<WDataStructure> getSharedDisc(const QString &name);
    QString addSharedDisc(const QString &path, const QString &name);
    bool removeSharedDisc(const QString &name);
    bool saveSharedDiscs();

    // Shared folders inside a disc.
    bool addSharedFolder(const QString &disc, const QString &path);
    bool removeSharedFolder(const QString &disc, const QString &path);
    QSharedPointer<WDataStructure> getSharedFolder(const QString &disc, const QString &folder);
    QSharedPointer<WDataStructure> getSharedFolderByPath(const QString &disc, const QString &path);

    // Permitted users.
    QSharedPointer<WDataStructure> getDiscPermittedUsers(const QString &disc, const QString &folder);
    QSharedPointer<WDataStructure> getDiscPermittedUsersByPath(const QString &disc, const QString &path, bool create);
    QSharedPointer<WDataStructure> getPermittedUser(const QString &user, const QString &disc, const QString &folder);
    // Adds the record unless one of that user exists (then keeps it); saves.
    bool addPermittedUser(const QSharedPointer<WDataStructure> &record, const QString &disc, const QString &folder);
    // Adds the record, replacing every earlier record of that user; saves.
    bool setPermittedUser(const QSharedPointer<WDataStructure> &record, const QString &disc, const QString &folder);
    // Removes every record of that user; saves. False when there was none.
    bool deletePermittedUser(const QString &user, const QString &disc, const QString &folder);
    // Rights as ShareRights bits; expired records grant nothing.
    int getUserPermission(const QString &disc, const QString &folder, const QString &user);
    int getUserPermission(const QString &path, const QString &user);
    bool clearOverduePermissions();

    // Saved user names ("wftp/users").
    QStringList getSavedUsers();
    bool saveUsers(const QStringList &users);
    static bool checkUserExist(const QString &user, const QStringList &users);
    bool addUser(const QString &user);
    bool deleteUser(const QString &user);

    // Virtual paths.
    KvrConfig splitPath(const QString &virtualPath) const;
    // The checked translation of a virtual path of the owner's shares.
    ResolvedPath resolve(const QString &virtualPath);
    // resolve()'s local path, or "" when the path is refused.
    QString translateToLocal(const QString &virtualPath);
    QString translateToSharedFolder(const QString &disc, const QString &path);
    QStringList getSharedDiscs(const QString &user);
    QMap<QString, QStringList> getUsersSharedDiscs(const QString &disc);
    static QString getFileName(const QString &path);
    static QString getExtension(const QString &name);

    // Folder operations for user.
    WDataStructure listDirectory(const QString &path, const QString &user, bool getThumbnails = false);
    // The rows whose names sort after `after` (bytewise, as listings are
    // ordered), within the page limits. Built from the folder as it is now:
    // pages asked one after another never repeat a name and never skip one
    // that stayed in the folder meanwhile.
    ListingPage listDirectoryPage(const QString &path, const QString &user, const QString &after);
    void setPageLimits(PageLimits limits) { m_pageLimits = limits; }
    PageLimits pageLimits() const { return m_pageLimits; }
    bool createDirectory(const QString &path, const QString &folderName, const QString &user);
    bool renameFile(const QString &oldPath, const QString &newPath, const QString &user);
    // Checks every path before deleting any; true only when all were deleted.
    // A folder keeps its hidden entries, and so stays: such folders go into
    // kept.
    bool deleteFiles(const QStringList &paths, const QString &user, QStringList *kept = nullptr);
    bool checkFileExist(const QString &path, const QString &user);

    // Opened files. Identifiers are braced UUIDs; "" when refused.
    // A Replace open takes the place of the file when its opener closes it
    // holding expectedSize bytes (any number when negative); until then, and
    // when it is given up, the file stays as it was.
    QString openFile(const QString &path, const QString &user, OpenMode mode = OpenMode::Default,
                     qint64 expectedSize = -1);
    QString openWebFile(const QString &webFileId);
    QByteArray readFile(const QString &fileID, const FileOpener &opener, qint64 from, qint64 count);
    // Writes at `from`, or where the last operation ended when from < 0.
    bool writeFile(const QString &fileID, const FileOpener &opener, const QByteArray &data, qint64 from = -1);
    qint64 getFileSize(const QString &fileID, const FileOpener &opener);
    bool isFileOpen(const QString &fileID, const FileOpener &opener);
    // The opener's own close: false also when a replacement was not whole
    // and the old file stays.
    bool closeFile(const QString &fileID, const FileOpener &opener);
    // The opener lets go of its file without putting a replacement in place,
    // however many bytes it holds.
    void giveUpFile(const QString &fileID, const FileOpener &opener);
    // Closes files idle for more than MaxIdleMs; how many.
    int closeIdleFiles();
    void closeAllFiles();
    int openedFileCount() const { return m_openedFiles.count(); }
    // Several small files of the folder at folderPath for user in one go:
    // the folder is resolved and the rights judged once, and each name is
    // opened under the folder without following links. Empty when the whole
    // request is refused; a name that is not served is marked so. The batch
    // is announced as one opened file: the folder, with the bytes read.
    QVector<SmallFileBatch::File> readSmallFiles(const QString &folderPath, const QStringList &names,
                                                 const QString &user);

    // Thumbnails of a folder's pictures for user: a peer's go to deliver, the
    // owner's come out of signalOwnThumbnail. Runs on the engine's own pool.
    void getFolderThumnailsStartThread(const QString &path, const QString &user, ThumbnailDelivery deliver);
    void getFolderThumbnails(const QString &path, const QString &user, const ThumbnailDelivery &deliver);
    ThumbnailScheduler &thumbnailScheduler() { return m_thumbnails; }

    // Files published on the web ("wftp/sharedwebfiles"); not saved here.
    QSharedPointer<WDataStructure> addWebSharedFile(const QString &path, const QString &password,
                                                    const QDateTime &validTo);
    QSharedPointer<WDataStructure> getWebSharedFiles();
    QSharedPointer<WDataStructure> getWebSharedFile(const QString &id);
    bool deleteWebSharedFile(const QString &id);
    void clearOverdueWebFiles();
    // The record when the file is published, not expired and on disk; else null.
    QSharedPointer<WDataStructure> servableWebFile(const QString &id);

signals:
    void signalFileOpened(QString fileID, QString localPath, QString user);
    void signalFileClosed(QString fileID);
    void signalFileReadProgress(QString fileID, qint64 bytes);
    void signalFileWriteProgress(QString fileID, qint64 bytes);
    // A thumbnail of the owner's own folder (emitted on a pool thread).
    void signalOwnThumbnail(QString folderPath, QString name, QImage picture);

private:
    QSharedPointer<WivoraAccount> account();
    QString ownerName();
    QString prefix();
    // In UTC: no local-time conversion per call (instants compare alike).
    QDateTime now() const;
    QSharedPointer<WDataStructure> discsNode(bool create);
    QSharedPointer<WDataStructure> webFilesNode(bool create);
    QSharedPointer<WDataStructure> folderNode(const QString &disc, const QString &folder);
    // Rights of user on the root or folder a resolved path lies in.
    int rightsOn(const ResolvedPath &resolved, const QString &user);
    bool ownsPath(const QString &user);
    void fillRow(WDataStructure &row, const FolderReader::Entry &entry, const QString &discName, const QString &rest,
                 bool forOwner);
    void deliverThumbnail(const QString &path, const ResolvedPath &resolved, const FolderReader::Entry &entry,
                          bool forOwner, const ThumbnailDelivery &deliver);
    // Deletes the upload temporaries in folder that no open file writes: a
    // crash or a kill left them.
    void removeAbandonedTemporaries(const QString &folder);
    QSharedPointer<RemoteFile> openedFile(const QString &fileID, const FileOpener &opener, int neededRights);
    QString registerFile(const QSharedPointer<RemoteFile> &file, const std::function<bool()> &open,
                         const QString &user);

    QSharedPointer<IAccountProvider> m_provider;
    std::function<qint64()> m_clock;
    OpenedFileTable m_openedFiles;
    ThumbnailScheduler m_thumbnails;
    PageLimits m_pageLimits;
};
