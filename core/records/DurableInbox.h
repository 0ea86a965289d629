#pragma once

#include <KvrConfig.h>

#include <QList>
#include <QMutex>
#include <QWaitCondition>
#include <QSet>
#include <QString>

// Records that arrived for the plug-ins, kept on disk from the moment their
// source may forget them (the server deletes its relayed copy, a peer gets
// the acknowledgement of a buffered record's last part) until a plug-in has
// taken them. A client that ends in between finds them again at its next
// login and offers them once more; plug-ins recognise a record they already
// filed by its "ID".
//
// The file, "inbox.wib" in the logged-in user's folder, is a log of entries
// appended and synced one by one: a kind byte, a 32-bit big-endian length
// and that many bytes, either a record's binary form or the "ID" (UTF-8) of
// a record taken since. The file is given room ahead, read as zeros, in
// steps of a megabyte, so that the sync an append needs before its record
// is acknowledged writes that record's data alone; a zero header ends the
// entries. Reading keeps every entry before the first damage (a
// torn last entry after a crash, an unknown kind, a length beyond the end or
// over the caps), and the file is then rewritten with what is still waiting.
// A symbolic link in its place is neither read nor written through.
//
// Anyone with an account can send records a plug-in never takes. The inbox
// is capped in records and bytes; when a record does not fit, the oldest
// record of the sender ("Wivora::sender") holding the most bytes goes, so a
// flood only ever pushes out the flooder's own records.
//
// Safe from any thread.
class DurableInbox
{
public:
    static const QString FileName;
    // A buffered record may hold up to 64 MiB; the inbox holds a few of
    // those, or many small ones, and refuses more.
    static constexpr int MaxRecords = 4096;
    static constexpr qint64 MaxBytes = 192 * 1024 * 1024;
    static constexpr qint64 MaxEntryBytes = 65 * 1024 * 1024;
    // The file is rewritten with what still waits once taken records make up
    // more than half of it (beyond this slack), so it stays within
    // MaxFileBytes, all of which a read takes in.
    static constexpr qint64 CompactionSlack = 4 * 1024 * 1024;
    static constexpr qint64 MaxFileBytes = 2 * MaxBytes + CompactionSlack + 2 * MaxEntryBytes;

    DurableInbox() = default;
    ~DurableInbox();
    DurableInbox(const DurableInbox &) = delete;
    DurableInbox &operator=(const DurableInbox &) = delete;

    // Reads the inbox of the folder (a user's folder, which must exist) and
    // keeps it open for add and remove; the records still waiting there, in
    // the order they came.
    QList<KvrConfig> open(const QString &folder);
    // Nothing is added or removed any more; the file keeps what waits.
    void close();

    enum class Sync { Now, Later };
    // True once the record is on disk (also when its "ID" is already there);
    // false when the inbox is closed, the record alone is over the caps, or
    // the write failed: the caller must then keep the record's source (no
    // acknowledgement, no delete). With Sync::Later it is written but durable
    // only after the next sync(): a run of records then costs one sync.
    bool add(const KvrConfig &record, Sync sync = Sync::Now);
    // Makes every record added so far durable; false when that failed. The
    // disk is waited for without the lock: adds and removes go on meanwhile,
    // and callers that come while a sync runs share the next one.
    bool sync();
    // The record with that "ID" was taken; nothing when it is not here. It is
    // called on the GUI thread, so it only notes the id: the next add (or the
    // close) appends its mark, into the page that add dirties anyway, and
    // does any emptying or compaction due. A mark lost to a crash offers the
    // record once more, and its plug-in knows it by its "ID".
    void remove(const QString &id);

    int count() const;

private:
    struct Entry
    {
        QString id;
        QString sender;
        qint64 bytes = 0;
    };

    void takeLocked(int index);
    // Takes the ids remove() noted.
    void takeLeftLocked();
    void dropFromLargestHolderLocked();
    bool appendLocked(char kind, const QByteArray &payload);
    bool rewriteLocked(const QList<KvrConfig> &records);
    void compactWhenDueLocked();
    QString pathLocked() const;

    mutable QMutex m_mutex;
    QString m_folder; // empty while closed
    QList<Entry> m_entries;
    qint64 m_bytes = 0; // of the records waiting
    qint64 m_fileBytes = 0; // of the file, taken records included
    // Records appended so far, and of those the ones known durable; the file
    // was made since the last sync (its folder needs one too).
    quint64 m_appended = 0;
    quint64 m_durable = 0;
    bool m_folderSyncDue = false;
    bool m_syncing = false;
    QWaitCondition m_syncEnded;
    // Ids remove() noted, not yet taken.
    mutable QMutex m_leftMutex;
    QStringList m_left;
};
