#include "FileCommitter.h"

#include <PartialFile.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>

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

void FileCommitter::placeBatch(const std::vector<Received> &files, const BatchDone &done)
{
    std::vector<std::unique_ptr<PartialFile>> written;
    written.reserve(files.size());
    for (const Received &file : files) {
        auto partial = std::make_unique<PartialFile>(file.target);
        const bool ok = QDir().mkpath(QFileInfo(file.target).path()) && partial->open(QIODevice::WriteOnly)
            && partial->write(file.data) == file.data.size();
        if (!ok)
            partial->discard();
        written.push_back(std::move(partial));
    }
    // One sync of the file system makes every file's bytes durable at once;
    // a file elsewhere, or a file system that cannot, is synced alone.
    struct stat first {};
    bool haveFirst = false;
    bool systemSynced = false;
    for (const auto &partial : written) {
        if (!partial->isOpen())
            continue;
        if (!haveFirst) {
            haveFirst = ::fstat(partial->handle(), &first) == 0;
            systemSynced = haveFirst && ::syncfs(partial->handle()) == 0;
        }
        struct stat own {};
        const bool covered =
            systemSynced && ::fstat(partial->handle(), &own) == 0 && own.st_dev == first.st_dev;
        if (!covered && ::fsync(partial->handle()) != 0)
            partial->discard();
    }
    // Renamed once durable, then the folders that received names are synced:
    // only then is a file reported.
    std::vector<bool> placed(written.size(), false);
    QSet<QString> folders;
    for (size_t i = 0; i < written.size(); ++i) {
        placed[i] = written[i]->isOpen() && written[i]->placeSynced();
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
}
