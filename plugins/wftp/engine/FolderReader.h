#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// The entries of one local folder as a listing shows them: folders, files and
// hidden entries, no symbolic links nor special files nor temporary files of
// transfers, no "." and "..", sorted
// by name. One readdir pass with a stat relative to the folder, names kept in
// their UTF-8 form: a folder of ten thousand entries lists in a few times what
// the bare system calls take.
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

    // Empty when the folder cannot be read. Names that are not UTF-8 are left
    // out: they would reach peers garbled.
    static QVector<Entry> read(const QString &folder);
};
