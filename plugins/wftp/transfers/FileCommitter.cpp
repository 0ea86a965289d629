#include "FileCommitter.h"

#include <PartialFile.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Syncs of different files share the file system's journal commits.
constexpr int Committers = 8;
// Each waiting file, or batch while it runs, holds descriptors.
constexpr int MaxPending = 64;
} // namespace

FileCommitter::FileCommitter()
{
    m_pool.setMaxThreadCount(Committers);
}

FileCommitter::~FileCommitter()
{
    m_pool.waitForDone();
}

void FileCommitter::enter()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_pending < MaxPending; });
    ++m_pending;
}

void FileCommitter::leave()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_pending;
    m_changed.notify_all();
}

void FileCommitter::commit(std::unique_ptr<PartialFile> file, Done done)
{
    enter();
    // std::function needs a copyable callable.
    PartialFile *const taken = file.release();
    m_pool.start([this, taken, done = std::move(done)] {
        const std::unique_ptr<PartialFile> saved(taken);
        done(saved->commit());
        leave();
    });
}

void FileCommitter::commitBatch(std::vector<Received> files, BatchDone done)
{
    if (files.empty())
        return;
    enter();
    m_pool.start([this, files = std::move(files), done = std::move(done)] {
        placeBatch(files, done);
        leave();
    });
}

namespace {

// One file of a batch while it is written: a nameless file in the target's
// folder, given its name once durable, or, where the name is taken (or the
// file system makes no nameless files), a temporary renamed over it.
struct Pending
{
    int nameless = -1;
    std::unique_ptr<PartialFile> partial;

    int handle() const { return nameless >= 0 ? nameless : (partial && partial->isOpen() ? partial->handle() : -1); }
    void giveUp()
    {
        if (nameless >= 0)
            ::close(nameless);
        nameless = -1;
        if (partial)
            partial->discard();
    }
};

bool writeAll(int fd, const QByteArray &data)
{
    for (qint64 written = 0; written < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

Pending startFile(const FileCommitter::Received &file)
{
    Pending pending;
    const QByteArray target = QFile::encodeName(file.target);
    const QString folder = QFileInfo(file.target).path();
    struct stat existing {};
    // A new name costs one entry in the folder: no temporary to rename.
    if (::lstat(target.constData(), &existing) != 0 && errno == ENOENT) {
        pending.nameless = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (pending.nameless >= 0 && !writeAll(pending.nameless, file.data))
            pending.giveUp();
        if (pending.nameless >= 0)
            return pending;
    }
    pending.partial = std::make_unique<PartialFile>(file.target);
    if (!pending.partial->open(QIODevice::WriteOnly) || pending.partial->write(file.data) != file.data.size())
        pending.giveUp();
    return pending;
}

// Gives a durable nameless file its name; one that appeared meanwhile is
// replaced whole, as any other.
bool nameFile(Pending &pending, const QString &target)
{
    if (pending.partial)
        return pending.partial->placeSynced();
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(pending.nameless);
    const QByteArray name = QFile::encodeName(target);
    bool named = ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) == 0;
    if (!named && errno == EEXIST) {
        const QString temporary = QFileInfo(target).path() + QLatin1Char('/') + PartialFile::newTemporaryName();
        const QByteArray temporaryName = QFile::encodeName(temporary);
        named = ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, temporaryName.constData(), AT_SYMLINK_FOLLOW) == 0;
        if (named && ::rename(temporaryName.constData(), name.constData()) != 0) {
            ::unlink(temporaryName.constData());
            named = false;
        }
    }
    ::close(pending.nameless);
    pending.nameless = -1;
    return named;
}

} // namespace

void FileCommitter::placeBatch(const std::vector<Received> &files, const BatchDone &done)
{
    std::vector<Pending> written;
    written.reserve(files.size());
    QSet<QString> made;
    for (const Received &file : files) {
        const QString folder = QFileInfo(file.target).path();
        if (!made.contains(folder) && QDir().mkpath(folder))
            made.insert(folder);
        written.push_back(startFile(file));
    }
    // One sync of the file system makes every file's bytes durable at once;
    // a file elsewhere, or a file system that cannot, is synced alone.
    struct stat first {};
    bool haveFirst = false;
    bool systemSynced = false;
    for (Pending &pending : written) {
        const int fd = pending.handle();
        if (fd < 0)
            continue;
        if (!haveFirst) {
            haveFirst = ::fstat(fd, &first) == 0;
            systemSynced = haveFirst && ::syncfs(fd) == 0;
        }
        struct stat own {};
        const bool covered = systemSynced && ::fstat(fd, &own) == 0 && own.st_dev == first.st_dev;
        if (!covered && ::fsync(fd) != 0)
            pending.giveUp();
    }
    // Named once durable, then the folders that received names are synced:
    // only then is a file reported.
    std::vector<bool> placed(written.size(), false);
    QSet<QString> folders;
    for (size_t i = 0; i < written.size(); ++i) {
        placed[i] = written[i].handle() >= 0 && nameFile(written[i], files[i].target);
        if (placed[i])
            folders.insert(QFileInfo(files[i].target).path());
    }
    QSet<QString> unsynced;
    for (const QString &folder : folders) {
        if (!PartialFile::syncFolder(folder))
            unsynced.insert(folder);
    }
    for (size_t i = 0; i < written.size(); ++i)
        done(files[i].target, placed[i] && !unsynced.contains(QFileInfo(files[i].target).path()));
}

void FileCommitter::waitForAll()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_pending == 0; });
    lock.unlock();
    // Idle pool threads would otherwise linger, stack and all, long after
    // their transfer ended: thousands of short transfers meant thousands
    // of threads.
    m_pool.waitForDone();
}
