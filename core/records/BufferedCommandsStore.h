#pragma once

#include "BufferedCommandsFile.h"

#include <KvrConfig.h>

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

// The records waiting for delivery, kept in a user's folder as a snapshot,
// "bufferedcommands.bff" (BufferedCommandsFile's form, which older versions
// wrote on every change and which is still read alone), and a journal beside
// it, "bufferedcommands.bfj", of the changes made since: each add or removal
// costs one short append, however many records wait.
//
// A journal entry is a kind byte, a 32-bit big-endian length, a 32-bit
// big-endian CRC-32 of the kind and the payload, then the payload. The first
// entry names the snapshot the journal applies to (the SHA-256 of its
// bytes), so a journal left behind by a compaction cut short after the new
// snapshot was in place is recognised as already folded in. Then:
//   'A'  a record added: the receiving user (QString) and its binary form
//        (QByteArray), Qt 4.6 QDataStream form;
//   'R'  the first record of a user's queue with that "ID" delivered: the
//        user (QString) and the "ID" (QString).
// A process killed while appending leaves at most a torn last entry; reading
// stops at the first entry that is cut short or fails its checksum, keeping
// every entry before it, and the next append goes after the sound ones.
//
// The journal is folded into a new snapshot once it holds more than twice
// the bytes still waiting plus CompactionSlack. Appends reach the disk
// through a sync shared by a burst, on a pool thread: a killed process loses
// nothing appended; a power cut may lose the last appends of a burst.
//
// Not synchronised: its owner calls it under its own lock.
class BufferedCommandsStore
{
public:
    using Queues = BufferedCommandsFile::Queues;

    static const QString JournalName;
    static constexpr qint64 CompactionSlack = 1024 * 1024;
    // The largest payload an entry may declare: a record of the largest size
    // a peer takes, its user's name and the stream's lengths.
    static constexpr qint64 MaxEntryBytes = 64 * 1024 * 1024 + 64 * 1024;

    // The outcome of reading a snapshot's and a journal's bytes.
    struct Replay
    {
        Queues queues;
        // Bytes of sound entries at the start of the journal (0 when it
        // does not apply to the snapshot).
        qint64 soundJournalBytes = 0;
        // The journal's first entry named this snapshot.
        bool journalApplies = false;
        // Both inputs were read to their end without damage.
        bool intact = true;
    };
    // The queues the snapshot holds with the journal's changes applied.
    static Replay replay(const QByteArray &snapshot, const QByteArray &journal);

    explicit BufferedCommandsStore(const QString &snapshotName);
    ~BufferedCommandsStore();
    BufferedCommandsStore(const BufferedCommandsStore &) = delete;
    BufferedCommandsStore &operator=(const BufferedCommandsStore &) = delete;

    // Reads folder's files (absent ones hold nothing) and keeps them for the
    // changes that follow; cuts a torn end off the journal.
    Queues open(const QString &folder);
    // No more changes until the next open; the files keep what they hold.
    void close();
    bool isOpen() const { return !m_folder.isEmpty(); }

    // The folder must exist. False when the entry could not be written.
    bool recordAdded(const QString &user, const KvrConfig &record);
    // record, the first of user's queue, was delivered; queues is what still
    // waits (folded into a new snapshot when the journal outgrew it).
    bool recordDelivered(const QString &user, const KvrConfig &record, const Queues &queues);
    // Writes queues as the new snapshot and starts an empty journal.
    bool compact(const Queues &queues);

    QString snapshotPath() const;
    QString journalPath() const;
    qint64 journalBytes() const { return m_journalBytes; }

private:
    bool appendEntry(char kind, const QByteArray &payload);
    void syncSoon();

    const QString m_snapshotName;
    QString m_folder; // empty while closed
    QByteArray m_snapshotDigest;
    qint64 m_journalBytes = 0; // 0: no journal file yet
    qint64 m_waitingBytes = 0; // binary forms of the records waiting
    struct SyncState
    {
        std::atomic<bool> queued{false};
        std::atomic<bool> folderDue{false}; // a journal was made since the last sync
    };
    // Shared with the sync task, which may outlive us.
    std::shared_ptr<SyncState> m_sync;
};
