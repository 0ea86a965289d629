#include "PartialFile.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString PartialFilePrefix = QStringLiteral(".wftp-part-");

bool syncFolderOf(const QString &path)
{
    const int folder = ::open(QFile::encodeName(QFileInfo(path).path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    const bool synced = ::fsync(folder) == 0;
    ::close(folder);
    return synced;
}

} // namespace

bool PartialFile::isTemporaryName(const QString &fileName)
{
    return fileName.startsWith(PartialFilePrefix);
}

PartialFile::PartialFile(const QString &target) : m_target(target) {}

PartialFile::~PartialFile()
{
    discard();
}

bool PartialFile::open(OpenMode mode)
{
    if (isOpen() || !m_temporary.isEmpty())
        return false;
    const QString folder = QFileInfo(m_target).path();
    const int flags = ((mode & ReadOnly) ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate = folder + QLatin1Char('/') + PartialFilePrefix
            + QString::number(QRandomGenerator::global()->generate64(), 16);
        const int fd = ::open(QFile::encodeName(candidate).constData(), flags, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        m_temporary = candidate;
        if (QFile::open(fd, mode | Unbuffered, AutoCloseHandle))
            return true;
        ::close(fd);
        discard();
        return false;
    }
    return false;
}

bool PartialFile::commit()
{
    if (!isOpen() || m_temporary.isEmpty())
        return false;
    bool placed = flush() && ::fsync(handle()) == 0;
    // An overwritten file keeps who may read it.
    struct stat replaced {};
    if (placed && ::lstat(QFile::encodeName(m_target).constData(), &replaced) == 0 && S_ISREG(replaced.st_mode))
        placed = ::fchmod(handle(), replaced.st_mode & 07777) == 0;
    QFile::close();
    placed = placed
        && ::rename(QFile::encodeName(m_temporary).constData(), QFile::encodeName(m_target).constData()) == 0;
    if (!placed) {
        discard();
        return false;
    }
    m_temporary.clear();
    syncFolderOf(m_target);
    return true;
}

void PartialFile::discard()
{
    if (isOpen())
        QFile::close();
    if (!m_temporary.isEmpty())
        ::unlink(QFile::encodeName(m_temporary).constData());
    m_temporary.clear();
}
