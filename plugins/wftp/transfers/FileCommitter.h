#pragma once

#include <QByteArray>
#include <QString>
#include <QThreadPool>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class PartialFile;

// Puts received files in place off the receiving thread: each temporary file
// is synchronised to disc and renamed over its target on a small pool, several
// at once, so a run of small files does not wait for every file's sync in
// turn. A file is in place only once complete, as before.
//
// Small files received whole come in batches: written, made durable with one
// sync of their file system, renamed, and their folder synced, so a thousand
// small files cost a few syncs rather than two each.
class FileCommitter
{
public:
    // Called on a pool thread once the file is in place (true) or not.
    using Done = std::function<void(bool committed)>;
    // The same for a file of a batch, by its target.
    using BatchDone = std::function<void(const QString &target, bool committed)>;

    // A file's whole contents and where they go.
    struct Received
    {
        QString target;
        QByteArray data;
    };

    FileCommitter();
    // Waits for every file given.
    ~FileCommitter();

    // Takes over a file fully written by the calling thread, which touches
    // it no more; waits while many are still on their way.
    void commit(std::unique_ptr<PartialFile> file, Done done);
    // Files of one folder: each is reported only once it and its name are
    // durable, and an existing target stays whole until replaced. Waits
    // while many are still on their way.
    void commitBatch(std::vector<Received> files, BatchDone done);
    // Waits until every file given so far is in place or failed, and lets
    // the pool's threads go.
    void waitForAll();

private:
    void enter();
    void leave();
    static void placeBatch(const std::vector<Received> &files, const BatchDone &done);

    QThreadPool m_pool;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_pending = 0;
};
