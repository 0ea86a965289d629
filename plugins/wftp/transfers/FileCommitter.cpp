#include "FileCommitter.h"

#include <PartialFile.h>

namespace {
// Syncs of different files share the file system's journal commits.
constexpr int Committers = 8;
// Each waiting file holds a descriptor.
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

void FileCommitter::commit(std::unique_ptr<PartialFile> file, Done done)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_pending < MaxPending; });
        ++m_pending;
    }
    // std::function needs a copyable callable.
    PartialFile *const taken = file.release();
    m_pool.start([this, taken, done = std::move(done)] {
        const std::unique_ptr<PartialFile> saved(taken);
        done(saved->commit());
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_pending;
        m_changed.notify_all();
    });
}

void FileCommitter::waitForAll()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_pending == 0; });
}
