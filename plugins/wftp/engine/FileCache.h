#pragma once

#include "FolderListing.h"

#include <KvrConfig.h>
#include <WDataStructure.h>

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThreadPool>

#include <functional>

// Listings of contacts' folders kept on disk, so a folder seen before shows
// from one local read. The index "toc.cch" maps a virtual path to the name of
// its listing file ("<uuid>.cch", UTF-8 text of the listing).
//
// The lock covers the index and file I/O only, never the owner's reply wait,
// so a second listing on the same thread and thumbnail deliveries go on
// during it. Thumbnail rows are merged into the stored listing in batches:
// the rows that arrive while one batch is written go out with the next.
class FileCache
{
public:
    // A row with its thumbnail (100 x 100 JPEG) is a few kilobytes.
    static constexpr int MaxRowBytes = 64 * 1024;

    // Asks the folder's owner for its listing (waits for the reply).
    using Lister = std::function<FolderListing(const QString &virtualPath)>;

    explicit FileCache(Lister lister = {});
    ~FileCache();

    void setLister(Lister lister);
    // Loads the index of the cache folder, forgetting any other folder's, and
    // deletes the listing files the index does not name. Listings asked for
    // before are not stored: they belong to the session that ended.
    void init(const QString &folder);
    // The folder's listing: the stored one unless reload is set or none is
    // usable, else the owner's (stored when not empty), or the owner's error.
    FolderListing getListing(const QString &virtualPath, bool reload);
    // Merges one row into the stored listing of path: the row of that "Name"
    // takes its values. A row the listing does not hold is dropped, as is one
    // larger than MaxRowBytes, so a contact's pushes never grow what is kept.
    void updateEntry(const QSharedPointer<WDataStructure> &entry, const QString &path);
    // Writes the rows updateEntry queued; returns when none is left.
    void flush();
    // How many times a listing file was written (tests check the batching).
    int listingWrites() const;

private:
    // "" unless name is a UUID in its braced form, as the index names files.
    QString fileFor(const QString &name) const;
    // Under the lock.
    bool readListing(const QString &name, WDataStructure &listing) const;
    QString writeListing(const WDataStructure &listing);
    bool saveIndex() const;
    static void merge(WDataStructure &listing, const QList<QSharedPointer<WDataStructure>> &rows);
    void flushQueued();

    Lister m_lister;
    mutable QMutex m_mutex;
    QString m_folder;
    KvrConfig m_index;
    // Rows waiting to be merged, per folder path, and the folders being asked for.
    QHash<QString, QList<QSharedPointer<WDataStructure>>> m_queued;
    QHash<QString, int> m_asking;
    bool m_flushing = false;
    // Counts init()s: a reply asked for in an earlier session is not kept.
    quint64 m_session = 0;
    int m_writes = 0;
    // One merging task at a time, waited for before the cache goes.
    QThreadPool m_flusher;
};
