#include "RemoteFile.h"

#include "PartialFile.h"

RemoteFile::RemoteFile(const QString &id, const FileOpener &opener, const QString &path, const QString &localPath)
    : m_id(id), m_opener(opener), m_path(path), m_localPath(localPath), m_file(std::make_unique<QFile>(localPath))
{
}

bool RemoteFile::open(QIODevice::OpenMode mode)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_file->open(mode | QIODevice::Unbuffered);
}

bool RemoteFile::openReplacement(qint64 expectedSize)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    auto replacement = std::make_unique<PartialFile>(m_localPath);
    if (!replacement->open(QIODevice::ReadWrite))
        return false;
    m_file = std::move(replacement);
    m_expectedSize = expectedSize;
    return true;
}

QString RemoteFile::temporaryPath() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto *replacement = qobject_cast<const PartialFile *>(m_file.get());
    return replacement ? replacement->temporaryPath() : QString();
}

void RemoteFile::close()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    dropHeld();
    if (auto *replacement = qobject_cast<PartialFile *>(m_file.get()))
        replacement->discard();
    m_file->close();
}

bool RemoteFile::finish()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    // Writes still held never had the bytes before them: the file has a gap.
    const bool whole = m_held.empty();
    dropHeld();
    auto *replacement = qobject_cast<PartialFile *>(m_file.get());
    if (!replacement) {
        m_file->close();
        return whole;
    }
    // Short of what the opener said it would send: it stopped or failed.
    if (!whole || (m_expectedSize >= 0 && replacement->size() != m_expectedSize)) {
        replacement->discard();
        return false;
    }
    return replacement->commit();
}

bool RemoteFile::isOpen() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_file->isOpen();
}

bool RemoteFile::isWritable() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_file->isOpen() && m_file->isWritable();
}

QByteArray RemoteFile::read(qint64 from, qint64 count)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_file->isOpen() || !m_file->isReadable() || from < 0 || count <= 0)
        return QByteArray();
    // Past the end there is nothing to read: never allocate count for it.
    const qint64 available = m_file->size() - from;
    if (available <= 0 || !m_file->seek(from))
        return QByteArray();
    return m_file->read(qMin(count, available));
}

bool RemoteFile::write(const QByteArray &data, qint64 from, qint64 maxPastEnd)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_file->isOpen() || !m_file->isWritable())
        return false;
    // A gap would become a sparse hole of any size the writer chooses.
    const qint64 start = from >= 0 ? from : m_file->pos();
    // A replacement is written without holes: it is whole only when every
    // byte came.
    const bool replacement = qobject_cast<PartialFile *>(m_file.get()) != nullptr;
    const qint64 pastEnd = replacement ? 0 : maxPastEnd;
    if (start - m_file->size() > pastEnd) {
        // A new file's writes ahead of bytes still on their way are held,
        // within bounds, since the peer chooses how far ahead and how many.
        const auto same = m_held.find(start);
        const qint64 replaced = same == m_held.end() ? 0 : same->second.size();
        if (from < 0 || !replacement || start - m_file->size() > MaxHeldBytes
            || m_heldBytes - replaced + data.size() > MaxHeldBytes)
            return false;
        m_held[start] = data;
        m_heldBytes += data.size() - replaced;
        return true;
    }
    return writeAt(data, from) && writeHeld();
}

bool RemoteFile::writeAt(const QByteArray &data, qint64 from)
{
    if (from >= 0 && !m_file->seek(from))
        return false;
    return m_file->write(data) == data.size() && m_file->flush();
}

bool RemoteFile::writeHeld()
{
    while (!m_held.empty() && m_held.begin()->first <= m_file->size()) {
        const auto first = m_held.begin();
        const QByteArray data = first->second;
        const qint64 from = first->first;
        m_heldBytes -= data.size();
        m_held.erase(first);
        if (!writeAt(data, from))
            return false;
    }
    return true;
}

void RemoteFile::dropHeld()
{
    m_held.clear();
    m_heldBytes = 0;
}

qint64 RemoteFile::size() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_file->isOpen() ? m_file->size() : -1;
}
