#include "PartialFile.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString PartialFilePrefix = QStringLiteral(".wftp-part-");
const QString KeptPartialPrefix = PartialFilePrefix + QStringLiteral("kept-");
const QString SourceRecordSuffix = QStringLiteral(".source");

int accessFor(QIODevice::OpenMode mode)
{
    return (mode & QIODevice::ReadOnly) ? O_RDWR : O_WRONLY;
}

// True when fd is still the file named path: it was not renamed away or
// replaced between the open and the lock.
bool stillNamed(int fd, const QByteArray &path)
{
    struct stat opened {}, named {};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.constData(), &named) == 0 && opened.st_dev == named.st_dev
        && opened.st_ino == named.st_ino;
}

} // namespace

bool PartialFile::syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

QString PartialFile::newTemporaryName()
{
    return PartialFilePrefix + QString::number(QRandomGenerator::global()->generate64(), 16);
}

bool PartialFile::isTemporaryName(const QString &fileName)
{
    return fileName.startsWith(PartialFilePrefix);
}

QString PartialFile::keptPath(const QString &target)
{
    const QFileInfo info(target);
    const QByteArray digest = QCryptographicHash::hash(info.fileName().toUtf8(), QCryptographicHash::Sha256);
    return info.path() + QLatin1Char('/') + KeptPartialPrefix + QString::fromLatin1(digest.toHex().left(32));
}

QString PartialFile::sourceRecordPath(const QString &target)
{
    return keptPath(target) + SourceRecordSuffix;
}

PartialFile::PartialFile(const QString &target) : m_target(target) {}

PartialFile::PartialFile(const QString &target, const SourceVersion &source) : m_target(target), m_source(source) {}

PartialFile::~PartialFile()
{
    discard();
}

bool PartialFile::open(OpenMode mode)
{
    if (isOpen() || !m_temporary.isEmpty())
        return false;
    if (m_source.isKnown() && openKept(mode))
        return true;
    return openTemporary(mode);
}

bool PartialFile::openTemporary(OpenMode mode)
{
    const QString folder = QFileInfo(m_target).path();
    const int flags = accessFor(mode) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate = folder + QLatin1Char('/') + newTemporaryName();
        const int fd = ::open(QFile::encodeName(candidate).constData(), flags, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        m_temporary = candidate;
        return adopt(fd, mode);
    }
    return false;
}

bool PartialFile::openKept(OpenMode mode)
{
    const int fd = takeKeptPartial(accessFor(mode));
    if (fd < 0)
        return false;
    m_temporary = keptPath(m_target);
    if (!adopt(fd, mode)) {
        m_keptBytes = 0;
        return false;
    }
    m_isKept = true;
    return true;
}

int PartialFile::takeKeptPartial(int access)
{
    const QByteArray path = QFile::encodeName(keptPath(m_target));
    // O_NONBLOCK: a fifo planted there must not hold the open.
    int fd = ::open(path.constData(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        // The lock goes with the process, a kill included.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !stillNamed(fd, path)) {
            ::close(fd);
            return -1;
        }
        struct stat kept {};
        // Only a plain file of its own: never one linked to another name.
        if (::fstat(fd, &kept) == 0 && S_ISREG(kept.st_mode) && kept.st_nlink == 1) {
            if (kept.st_size <= m_source.size && recordMatches() && ::lseek(fd, 0, SEEK_END) == kept.st_size) {
                m_keptBytes = kept.st_size;
                return fd;
            }
            // Another version: emptied before its record changes, so the
            // pair is consistent at every moment.
            if (::ftruncate(fd, 0) == 0 && writeRecord())
                return fd;
            ::close(fd);
            return -1;
        }
        ::close(fd);
    } else if (errno != ENOENT && errno != ELOOP && errno != ENXIO) {
        return -1;
    }
    // Whatever else holds the name (a link, a fifo, a file linked to another
    // name) goes itself; nothing is followed.
    ::unlink(path.constData());
    fd = ::open(path.constData(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Another run took it up at once: it is theirs.
        ::close(fd);
        return -1;
    }
    if (!writeRecord()) {
        ::unlink(path.constData());
        ::close(fd);
        return -1;
    }
    return fd;
}

bool PartialFile::recordMatches() const
{
    const int fd = ::open(QFile::encodeName(sourceRecordPath(m_target)).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const QByteArray expected = m_source.record();
    // One byte more than expected shows a longer record.
    QByteArray found(expected.size() + 1, Qt::Uninitialized);
    struct stat record {};
    qint64 got = 0;
    if (::fstat(fd, &record) == 0 && S_ISREG(record.st_mode)) {
        for (ssize_t n; got < found.size() && (n = ::read(fd, found.data() + got, size_t(found.size() - got))) > 0;)
            got += n;
    }
    ::close(fd);
    found.truncate(int(got));
    return found == expected;
}

bool PartialFile::writeRecord() const
{
    const QByteArray path = QFile::encodeName(sourceRecordPath(m_target));
    // An old record or a link in its place goes; a new file is written.
    ::unlink(path.constData());
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    const QByteArray record = m_source.record();
    const bool written = ::write(fd, record.constData(), size_t(record.size())) == record.size();
    ::close(fd);
    return written;
}

bool PartialFile::adopt(int fd, OpenMode mode)
{
    if (QFile::open(fd, mode | Unbuffered, AutoCloseHandle))
        return true;
    ::close(fd);
    discard();
    return false;
}

bool PartialFile::commit()
{
    if (!isOpen() || m_temporary.isEmpty())
        return false;
    if (!flush() || ::fsync(handle()) != 0) {
        discard();
        return false;
    }
    if (!placeSynced())
        return false;
    syncFolder(QFileInfo(m_target).path());
    return true;
}

bool PartialFile::placeSynced()
{
    if (!isOpen() || m_temporary.isEmpty())
        return false;
    bool placed = flush();
    // An overwritten file keeps who may read it.
    struct stat replaced {};
    if (placed && ::lstat(QFile::encodeName(m_target).constData(), &replaced) == 0 && S_ISREG(replaced.st_mode))
        placed = ::fchmod(handle(), replaced.st_mode & 07777) == 0;
    // Renamed while still open, so a kept partial's lock holds until it is
    // in place and no other run takes it up under the old name.
    placed = placed
        && ::rename(QFile::encodeName(m_temporary).constData(), QFile::encodeName(m_target).constData()) == 0;
    if (!placed) {
        discard();
        return false;
    }
    if (m_isKept)
        ::unlink(QFile::encodeName(sourceRecordPath(m_target)).constData());
    m_temporary.clear();
    QFile::close();
    return true;
}

void PartialFile::discard()
{
    // Removed before the close lets go of the lock.
    if (!m_temporary.isEmpty()) {
        ::unlink(QFile::encodeName(m_temporary).constData());
        if (m_isKept)
            ::unlink(QFile::encodeName(sourceRecordPath(m_target)).constData());
    }
    m_temporary.clear();
    if (isOpen())
        QFile::close();
}

void PartialFile::keep()
{
    if (!m_isKept) {
        discard();
        return;
    }
    m_temporary.clear();
    if (isOpen())
        QFile::close();
}
