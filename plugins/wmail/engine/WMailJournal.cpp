#include "WMailJournal.h"

#include <WUtilities.h>
#include <WholeWrites.h>

#include <QFile>
#include <QThreadPool>
#include <QTimer>
#include <QtDebug>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kRecordHead = 6; // length, checksum
// How long appends gather before they are synced together.
constexpr int kSyncDelayMs = 200;

quint16 checksumOf(const char *data, int size)
{
    return qChecksum(data, uint(size));
}

void syncFile(const QString &path)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return;
    ::fdatasync(descriptor);
    ::close(descriptor);
}

} // namespace

WMailJournal::WMailJournal(const QString &path)
    : m_path(path), m_syncQueued(std::make_shared<std::atomic<bool>>(false))
{
}

bool WMailJournal::read(const std::function<void(const QByteArray &record)> &take)
{
    m_soundSize = 0;
    QFile file(m_path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    qint64 at = 0;
    while (bytes.size() - at >= kRecordHead) {
        const int length = WUtilities::parseInt(bytes.mid(int(at), 4));
        if (length < 0 || length > bytes.size() - at - kRecordHead)
            break; // cut short by the end of the file
        const auto stored = quint16((quint8(bytes.at(int(at) + 4)) << 8) | quint8(bytes.at(int(at) + 5)));
        const char *data = bytes.constData() + at + kRecordHead;
        if (checksumOf(data, length) != stored)
            break;
        take(QByteArray::fromRawData(data, length));
        at += kRecordHead + length;
    }
    if (at != bytes.size())
        qWarning() << "wmail: the journal" << m_path << "ends in" << bytes.size() - at << "bytes of a torn record";
    m_soundSize = at;
    return true;
}

bool WMailJournal::append(const QByteArray &record)
{
    const int descriptor =
        ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        qWarning() << "wmail: cannot open" << m_path << qt_error_string(errno);
        return false;
    }
    QByteArray bytes = WUtilities::intToByteArray(record.size());
    const quint16 checksum = checksumOf(record.constData(), record.size());
    bytes.append(char(checksum >> 8)).append(char(checksum & 0xFF)).append(record);

    struct stat status {};
    bool written = ::fstat(descriptor, &status) == 0;
    // A torn record left by an earlier failure would hide everything after
    // it. A journal emptied behind our back is appended to as it stands.
    if (written && status.st_size > m_soundSize)
        written = ::ftruncate(descriptor, off_t(m_soundSize)) == 0;
    else if (written)
        m_soundSize = status.st_size;
    written = written && writeAllAt(descriptor, bytes, m_soundSize);
    if (written) {
        m_soundSize += bytes.size();
    } else {
        qWarning() << "wmail: cannot append to" << m_path << qt_error_string(errno);
        if (::ftruncate(descriptor, off_t(m_soundSize)) != 0)
            qWarning() << "wmail: a torn record stays at the end of" << m_path;
    }
    ::close(descriptor);
    return written;
}

bool WMailJournal::reset()
{
    m_soundSize = 0;
    QFile file(m_path);
    return !file.exists() || file.remove();
}

void WMailJournal::syncSoon(const QStringList &alsoFiles)
{
    if (m_syncQueued->exchange(true))
        return; // the queued sync takes these bytes too
    // Started a little later, so that the messages of a burst share it: a
    // sync per message would write each file's last block again every time.
    QTimer::singleShot(kSyncDelayMs, [queued = m_syncQueued, files = QStringList{m_path} + alsoFiles] {
        QThreadPool::globalInstance()->start([queued, files] {
            // Cleared first: an append from now on needs a sync of its own.
            queued->store(false);
            for (const QString &file : files)
                syncFile(file);
        });
    });
}
