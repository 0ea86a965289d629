#include "OpenedFileTable.h"


#include <algorithm>

bool OpenedFileTable::add(const QSharedPointer<RemoteFile> &file)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_files.size() >= MaxTotal)
        return false;
    const FileOpener opener = file->opener();
    const auto sameOpener = [&opener](const QSharedPointer<RemoteFile> &open) { return open->opener() == opener; };
    if (std::count_if(m_files.cbegin(), m_files.cend(), sameOpener) >= MaxPerOpener)
        return false;
    m_files.insert(file->id(), file);
    return true;
}

QSharedPointer<RemoteFile> OpenedFileTable::find(const QString &id, const FileOpener &opener) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const QSharedPointer<RemoteFile> file = m_files.value(id);
    return file && file->opener() == opener ? file : nullptr;
}

QSharedPointer<RemoteFile> OpenedFileTable::take(const QString &id, const FileOpener &opener)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const QSharedPointer<RemoteFile> file = m_files.value(id);
    if (!file || file->opener() != opener)
        return nullptr;
    m_files.remove(id);
    return file;
}

QList<QSharedPointer<RemoteFile>> OpenedFileTable::takeIdle(qint64 idleSinceMs)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    QList<QSharedPointer<RemoteFile>> idle;
    for (auto it = m_files.begin(); it != m_files.end();) {
        if (it.value()->lastAccessMs() < idleSinceMs) {
            idle.append(it.value());
            it = m_files.erase(it);
        } else {
            ++it;
        }
    }
    return idle;
}

QList<QSharedPointer<RemoteFile>> OpenedFileTable::takeAll()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const QList<QSharedPointer<RemoteFile>> all = m_files.values();
    m_files.clear();
    return all;
}

QList<QSharedPointer<RemoteFile>> OpenedFileTable::all() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_files.values();
}

int OpenedFileTable::count() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_files.size();
}
