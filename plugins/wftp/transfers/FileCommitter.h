#pragma once

#include <QThreadPool>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class PartialFile;

// Puts received files in place off the receiving thread: each temporary file
// is synchronised to disc and renamed over its target on a small pool, several
// at once, so a run of small files does not wait for every file's sync in
// turn. A file is in place only once complete, as before.
class FileCommitter
{
public:
    // Called on a pool thread once the file is in place (true) or not.
    using Done = std::function<void(bool committed)>;

    FileCommitter();
    // Waits for every file given.
    ~FileCommitter();

    // Takes over a file fully written by the calling thread, which touches
    // it no more; waits while many are still on their way.
    void commit(std::unique_ptr<PartialFile> file, Done done);
    // Waits until every file given so far is in place or failed.
    void waitForAll();

private:
    QThreadPool m_pool;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_pending = 0;
};
