#include "FileWriter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

FileWriter::~FileWriter()
{
    stop();
}

void FileWriter::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_queue.clear();
        m_queuedBytes = 0;
    }
    m_work.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quit = false;
}

void FileWriter::start(int fd, qint64 from, qint64 expectedSize)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fd = fd;
    m_next = m_givenEnd = qMax<qint64>(from, 0);
    m_expected = expectedSize;
    m_reservedEnd = m_next;
    m_reserveFailed = false;
    m_writebackFrom = m_next;
    m_error.clear();
    // Made with the first file and kept for the transfer's next ones.
    if (!m_thread.joinable())
        m_thread = std::thread([this] { writerLoop(); });
}

bool FileWriter::write(qint64 offset, const QByteArray &data)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_fd < 0 || !m_error.isEmpty())
        return false;
    if (data.isEmpty())
        return true;
    // A chunk over bytes already given would leave two versions of them.
    const auto after = m_queue.lower_bound(offset);
    const bool overlaps = offset < m_next || (after != m_queue.end() && after->first < offset + data.size())
        || (after != m_queue.begin() && std::prev(after)->first + std::prev(after)->second.size() > offset);
    if (overlaps) {
        m_error = QStringLiteral("bytes at %1 were given twice").arg(offset);
        return false;
    }
    // Waits only while the writer has its next chunk: one that fills a gap
    // is always taken, or the writer could never go on.
    m_progress.wait(lock, [&] {
        return !m_error.isEmpty() || m_queuedBytes < MaxQueuedBytes || offset == m_next
            || m_queue.empty() || m_queue.begin()->first != m_next;
    });
    if (!m_error.isEmpty())
        return false;
    m_queue.emplace(offset, data);
    m_queuedBytes += data.size();
    m_givenEnd = qMax(m_givenEnd, offset + data.size());
    lock.unlock();
    m_work.notify_one();
    return true;
}

bool FileWriter::finish()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_fd < 0)
        return true;
    m_progress.wait(lock, [&] {
        return !m_error.isEmpty() || m_queue.empty() || (!m_busy && m_queue.begin()->first != m_next);
    });
    m_progress.wait(lock, [&] { return !m_busy; });
    if (m_error.isEmpty() && !m_queue.empty())
        m_error = QStringLiteral("bytes missing from %1").arg(m_next);
    // Reserved room past the end is given back; a file that ends earlier
    // than it was reserved for keeps its true size.
    if (m_error.isEmpty() && ::ftruncate(m_fd, m_next) != 0)
        m_error = QStringLiteral("cannot set the size: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    const bool written = m_error.isEmpty();
    m_queue.clear();
    m_queuedBytes = 0;
    m_fd = -1;
    return written;
}

void FileWriter::abandon()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_queuedBytes = 0;
    m_progress.wait(lock, [&] { return !m_busy; });
    m_fd = -1;
}

qint64 FileWriter::writtenEnd() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_next;
}

QString FileWriter::errorString() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

void FileWriter::writerLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] {
            return m_quit || (m_fd >= 0 && m_error.isEmpty() && !m_queue.empty() && m_queue.begin()->first == m_next);
        });
        if (m_quit)
            return;
        writeNext(lock);
        m_progress.notify_all();
    }
}

void FileWriter::writeNext(std::unique_lock<std::mutex> &lock)
{
    const auto first = m_queue.begin();
    const qint64 offset = first->first;
    const QByteArray data = first->second;
    m_queue.erase(first);
    m_queuedBytes -= data.size();
    m_busy = true;
    const int fd = m_fd;
    lock.unlock();
    m_progress.notify_all();

    reserveAhead(fd, offset + data.size());
    qint64 done = 0;
    int error = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd, data.constData() + done, size_t(data.size() - done), offset + done);
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // A write of nothing would repeat for ever.
            error = n < 0 ? errno : ENOSPC;
            break;
        }
    }

    if (error == 0) {
        startWriteback(fd, offset + data.size());
        if (m_written)
            m_written(data.size());
    }

    lock.lock();
    m_busy = false;
    if (error != 0) {
        fail(QStringLiteral("cannot write at %1").arg(offset + done), error);
        return;
    }
    m_next = offset + data.size();
}

void FileWriter::startWriteback(int fd, qint64 end)
{
    // Only this thread touches it while a chunk is written.
    if (end - m_writebackFrom < WritebackStep)
        return;
    // Asks the disc to take the bytes now rather than when the file is
    // synced: the sync before the file is put in place has little left to
    // do, and the page cache never fills with this file's bytes. Failure
    // only means the sync does it all.
    ::sync_file_range(fd, m_writebackFrom, end - m_writebackFrom, SYNC_FILE_RANGE_WRITE);
    m_writebackFrom = end;
}

void FileWriter::reserveAhead(int fd, qint64 end)
{
    // Only this thread touches the reservation while a chunk is written.
    if (m_reserveFailed || end + ReserveStep / 2 <= m_reservedEnd)
        return;
    qint64 upTo = m_reservedEnd + ReserveStep;
    // Past the announced size only what arrives: the file may end there.
    if (m_expected >= 0)
        upTo = qMin(upTo, m_expected);
    if (upTo <= m_reservedEnd) {
        m_reservedEnd = qMax(m_reservedEnd, end);
        return;
    }
    // A file system without reservations writes the bytes all the same;
    // a full disc shows in the writes themselves.
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, m_reservedEnd, upTo - m_reservedEnd) != 0)
        m_reserveFailed = true;
    else
        m_reservedEnd = upTo;
}

void FileWriter::fail(const QString &what, int error)
{
    m_error = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
    m_queue.clear();
    m_queuedBytes = 0;
}
