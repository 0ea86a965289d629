#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <climits>

// The entries of one local folder as a listing shows them: folders, files and
// hidden entries, no symbolic links nor special files nor temporary files of
// transfers, no "." and "..", sorted by name (bytewise, which for UTF-8 is
// code-point order). One readdir pass with a stat relative to the folder,
// names kept in their UTF-8 form: a folder of ten thousand entries lists in a
// few times what the bare system calls take.
class FolderReader
{
public:
    struct Entry
    {
        QByteArray name; // UTF-8, as on disc
        bool isDir = false;
        qint64 size = 0;
        qint64 modifiedSeconds = 0; // since the epoch

        QString fileName() const { return QString::fromUtf8(name); }
        // ISO 8601 in local time without a zone, as listings carry it.
        QByteArray modified() const;
    };

    struct Page
    {
        QVector<Entry> entries;
        // More entries sort after `last`, the largest name this page weighed
        // (listed, or found gone when it was stated).
        bool more = false;
        QByteArray last;
    };

    // Up to maxEntries entries whose names sort after `after`, and whether
    // more follow. Only the page's names are held while the folder is walked,
    // whatever its size. Empty when the folder cannot be read. Names that are
    // not UTF-8 are left out: they would reach peers garbled.
    static Page readPage(const QString &folder, const QByteArray &after, int maxEntries);
    // Every entry.
    static QVector<Entry> read(const QString &folder) { return readPage(folder, QByteArray(), INT_MAX).entries; }
};
