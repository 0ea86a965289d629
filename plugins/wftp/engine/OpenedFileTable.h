#pragma once

#include "FileOpener.h"
#include "RemoteFile.h"

#include <QHash>
#include <QSharedPointer>
#include <QStringList>

#include <mutex>

// The files open on behalf of peers and the web server, by identifier. Each
// file answers only to its opener, and the number of open files is capped per
// opener and in total, so nobody can exhaust the owner's file handles.
class OpenedFileTable
{
public:
    static constexpr int MaxPerOpener = 32;
    static constexpr int MaxTotal = 256;

    // False when a cap is reached.
    bool add(const QSharedPointer<RemoteFile> &file);
    // The file when it is open under id and opener opened it; else null.
    QSharedPointer<RemoteFile> find(const QString &id, const FileOpener &opener) const;
    // Removes and returns the file, under the same rule as find.
    QSharedPointer<RemoteFile> take(const QString &id, const FileOpener &opener);
    // Removes and returns every file untouched since before idleSinceMs.
    QList<QSharedPointer<RemoteFile>> takeIdle(qint64 idleSinceMs);
    QList<QSharedPointer<RemoteFile>> takeAll();
    QList<QSharedPointer<RemoteFile>> all() const;
    int count() const;

private:
    mutable std::mutex m_mutex;
    QHash<QString, QSharedPointer<RemoteFile>> m_files;
};
