#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// Writes a download's bytes on a thread of its own, so the thread that
// receives never waits for the disc or the page cache. Chunks may be given in
// any order; each is written at its offset once every byte before it is.
// Room on the disc is reserved ahead of the writing (without changing the
// file's size), so the file system is not allocating blocks while the bytes
// stream in; the size a peer announces only guides how far, in bounded
// steps, since it may be false. Written bytes go to the disc as they come,
// so the page cache does not fill up and the final sync is short.
//
// An error (a full disc, a file that cannot be written) is kept: every later
// call fails, and the download must fail with it.
//
//   writer.start(fd, keptBytes, expectedSize);
//   writer.write(offset, data);   // any number, from the receiving thread
//   writer.finish();              // all written and the size set, or false
class FileWriter
{
public:
    // What may wait for the disc before write() waits in turn: a quarter of
    // a second of a fast link, and no more memory than a read window.
    static constexpr qint64 MaxQueuedBytes = 16 * 1024 * 1024;
    // How far ahead of the written end room is reserved at a time.
    static constexpr qint64 ReserveStep = 128 * 1024 * 1024;
    // How many written bytes are handed to the disc at a time.
    static constexpr qint64 WritebackStep = 8 * 1024 * 1024;

    // Told on the writer's thread of each chunk's bytes once they are written.
    using Written = std::function<void(qint64 bytes)>;

    explicit FileWriter(Written written = {}) : m_written(std::move(written)) {}
    // Drops what is queued and joins the thread.
    ~FileWriter();
    FileWriter(const FileWriter &) = delete;
    FileWriter &operator=(const FileWriter &) = delete;

    // Writes into fd (kept open by the caller until finish() or abandon()),
    // whose first `from` bytes are already there; expectedSize is where the
    // file should end (-1 unknown).
    void start(int fd, qint64 from, qint64 expectedSize);
    bool isStarted() const { return m_fd >= 0; }
    // Queues the chunk; waits while too much is queued. False once an error
    // occurred or the chunk overlaps bytes already given.
    bool write(qint64 offset, const QByteArray &data);
    // Waits until everything given is written, then cuts the file at the
    // written end (room reserved past it is given back). False when a
    // write failed or a gap is left. The writer is ready for the next file.
    bool finish();
    // Drops what is queued and waits for the write under way.
    void abandon();
    // Drops what is queued and joins the thread: a transfer that ended may
    // stay listed for long, and must not keep a thread. A later start()
    // makes a new one.
    void stop();
    // The end of the bytes written without a gap.
    qint64 writtenEnd() const;
    // Why the last file failed; empty without an error.
    QString errorString() const;

private:
    void writerLoop();
    // Called with the lock held and released around the system calls.
    void writeNext(std::unique_lock<std::mutex> &lock);
    void reserveAhead(int fd, qint64 end);
    void startWriteback(int fd, qint64 end);
    void fail(const QString &what, int error);

    const Written m_written;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_progress;
    bool m_quit = false;
    bool m_busy = false;
    int m_fd = -1;
    qint64 m_expected = -1;
    qint64 m_reservedEnd = 0;
    bool m_reserveFailed = false;
    qint64 m_writebackFrom = 0;
    // The next offset to write and the chunks waiting for their turn.
    qint64 m_next = 0;
    qint64 m_givenEnd = 0;
    std::map<qint64, QByteArray> m_queue;
    qint64 m_queuedBytes = 0;
    QString m_error;
};
