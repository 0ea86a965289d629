#pragma once

#include "FileOpener.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

// One file opened on behalf of a peer or the web server. Requests for one file
// may arrive on several threads at once: each operation holds the file's own
// lock, so a seek and its read or write are never interleaved with another's.
class RemoteFile
{
public:
    // `path` is what rights are checked against: the virtual path for peers,
    // the web-shared file's identifier for the web.
    RemoteFile(const QString &id, const FileOpener &opener, const QString &path, const QString &localPath);

    // Opens the local file; `mode` as QIODevice (ReadOnly, ReadWrite).
    bool open(QIODevice::OpenMode mode);
    // Opens a new temporary file that replaces the local file only when the
    // opener closes it holding expectedSize bytes (any size when negative).
    bool openReplacement(qint64 expectedSize);
    // Closes without putting a replacement in place.
    void close();
    // The opener's own close: a replacement is put in place when whole;
    // false when it was not.
    bool finish();
    bool isOpen() const;
    bool isWritable() const;

    // Up to count bytes from `from`; empty past the end or when not open.
    QByteArray read(qint64 from, qint64 count);
    // An upload keeps several writes on their way, and requests may be
    // handled on several threads: a write to a replacement that starts past
    // the file's end is held (starting at most MaxHeldBytes past it, and up
    // to MaxHeldBytes of them) and written once the bytes before it came, so
    // a replacement never has a hole. One closed with writes still held has
    // a gap and is given up.
    static constexpr qint64 MaxHeldBytes = 16 * 1024 * 1024;

    // Writes all of data at `from`, or at the current position when from < 0;
    // false unless every byte was written (or held), and false without
    // writing when the write would start more than maxPastEnd bytes past the
    // end of a file opened in place, or cannot be held.
    bool write(const QByteArray &data, qint64 from, qint64 maxPastEnd);
    // -1 when not open.
    qint64 size() const;

    QString id() const { return m_id; }
    FileOpener opener() const { return m_opener; }
    QString path() const { return m_path; }
    QString localPath() const { return m_localPath; }
    // The replacement being written; "" for a file opened in place.
    QString temporaryPath() const;

    void touch(qint64 nowMs) { m_lastAccessMs.store(nowMs); }
    qint64 lastAccessMs() const { return m_lastAccessMs.load(); }

private:
    bool writeAt(const QByteArray &data, qint64 from);
    // Writes the held writes that now start within the file.
    bool writeHeld();
    void dropHeld();

    const QString m_id;
    const FileOpener m_opener;
    const QString m_path;
    // std::mutex rather than QMutex: thread checkers see its hand-overs.
    const QString m_localPath;
    mutable std::mutex m_mutex;
    // A QFile on the local file, or a PartialFile replacing it.
    std::unique_ptr<QFile> m_file;
    qint64 m_expectedSize = -1;
    // Writes that came before the bytes ahead of them, by offset.
    std::map<qint64, QByteArray> m_held;
    qint64 m_heldBytes = 0;
    std::atomic<qint64> m_lastAccessMs{0};
};
