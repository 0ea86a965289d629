#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

// An append-only file of records beside a conversation's snapshot: each
// change costs one short append, whatever the length of the history.
//
// A record is a 4-byte length, a 2-byte checksum and its bytes. A process
// killed while appending leaves at most one torn record at the end; reading
// stops there, and the next append first cuts it away so that later records
// stay readable.
class WMailJournal
{
public:
    explicit WMailJournal(const QString &path);

    QString path() const { return m_path; }
    // The bytes of sound records read last (0 before any read or reset).
    qint64 soundSize() const { return m_soundSize; }

    // Calls take(record) for each sound record in order, stopping at the
    // first torn or damaged one. False when the file exists but cannot be
    // read; an absent file reads as empty.
    bool read(const std::function<void(const QByteArray &record)> &take);
    // Takes the position another object of the same file read.
    void takeReadState(const WMailJournal &other) { m_soundSize = other.m_soundSize; }
    // Appends one record in a single write (never through a link). False
    // when it could not be written whole; what was cut short is dropped
    // before the next append.
    bool append(const QByteArray &record);
    // Empties the journal once its records are in the snapshot.
    bool reset();
    // Asks for the appended bytes (and those of the files named) to reach
    // the disk. Syncing starts shortly after, from the calling thread's event
    // loop, and runs on a pool thread, one at a time: a burst of appends
    // costs one sync, and the caller never waits for the disk. (A killed
    // process loses nothing appended: the written bytes are the system's.)
    void syncSoon(const QStringList &alsoFiles);

private:
    const QString m_path;
    qint64 m_soundSize = 0;
    // Set while a sync is queued; shared with the task, which may outlive us.
    std::shared_ptr<std::atomic<bool>> m_syncQueued;
};
