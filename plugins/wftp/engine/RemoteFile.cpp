#include "RemoteFile.h"


RemoteFile::RemoteFile(const QString &id, const FileOpener &opener, const QString &path, const QString &localPath)
    : m_id(id), m_opener(opener), m_path(path), m_file(localPath)
{
}

bool RemoteFile::open(QIODevice::OpenMode mode)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_file.open(mode | QIODevice::Unbuffered);
}

void RemoteFile::close()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_file.close();
}

bool RemoteFile::isOpen() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_file.isOpen();
}

bool RemoteFile::isWritable() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_file.isOpen() && m_file.isWritable();
}

QByteArray RemoteFile::read(qint64 from, qint64 count)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_file.isOpen() || !m_file.isReadable() || from < 0 || count <= 0)
        return QByteArray();
    // Past the end there is nothing to read: never allocate count for it.
    const qint64 available = m_file.size() - from;
    if (available <= 0 || !m_file.seek(from))
        return QByteArray();
    return m_file.read(qMin(count, available));
}

bool RemoteFile::write(const QByteArray &data, qint64 from, qint64 maxPastEnd)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_file.isOpen() || !m_file.isWritable())
        return false;
    // A gap would become a sparse hole of any size the writer chooses.
    const qint64 start = from >= 0 ? from : m_file.pos();
    if (start - m_file.size() > maxPastEnd)
        return false;
    if (from >= 0 && !m_file.seek(from))
        return false;
    return m_file.write(data) == data.size() && m_file.flush();
}

qint64 RemoteFile::size() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_file.isOpen() ? m_file.size() : -1;
}
