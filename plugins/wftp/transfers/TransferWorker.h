#pragma once

#include "FileCommitter.h"
#include "FileWriter.h"
#include "ReadWindow.h"

#include <FolderListing.h>
#include <RemoteFile.h>
#include <SourceVersion.h>
#include <VirtualFile.h>
#include <WFtpEngine.h>

#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class PartialFile;
class TransferSlotQueue;
class WFtpMain;

// One transfer's worker: files and folders copied from a shared disc into a
// local folder (download) or from local paths into a folder of a shared disc
// (upload), in chunks that grow while requests are quick. Runs on a pool
// thread; it reports only through its signals and never touches widgets.
//
// A download goes to a temporary file beside its target that replaces the
// target only once complete, so a stopped or failed item leaves an existing
// target as it was; an upload asks the owner for the same. A larger file's
// partial is kept when the run is halted or the process ends, and a later
// download of the same version into the same target goes on from there. A
// link at the target counts as an existing file and is replaced, never
// written through.
// A lost link is made again until it is back or the transfer is stopped, and
// the item goes on at the byte where it stopped. Names from a peer's listing
// never reach outside the chosen folder.
//
// Round trips are what a transfer waits for, so a download keeps as many
// reads on their way as fill the link (ReadWindow), hands the bytes to a
// writer thread (FileWriter), takes a file's size from the folder's listing and
// confirms it by asking past the end, closes each remote file while the next
// opens, and puts finished files in place on other threads. The chunk size
// reached carries over to the next file of the run. Small files of a folder
// come many to a request and are put in place a batch at a time.
class TransferWorker : public QObject
{
    Q_OBJECT

public:
    enum class Answer { Yes, YesToAll, No, NoToAll };
    // Asked on the worker's thread with the target's path when it exists: a
    // local path for a download, a virtual one for an upload.
    using OverwriteQuestion = std::function<Answer(const QString &target)>;

    static constexpr qint64 FirstChunk = 10536;
    static constexpr qint64 LargestChunk = WFtpEngine::MaxPeerChunkBytes;
    // Smaller files are fetched anew after a restart: their few round
    // trips cost less than keeping a record beside each.
    static constexpr qint64 KeptPartialFromBytes = 1024 * 1024;
    // Small files asked for in one request, and such requests on their way.
    static constexpr int SmallFilesPerBatch = 128;
    static constexpr int BatchesInFlight = 3;

    // items: path -> true for a file, false for a folder (virtual paths for
    // a download, local ones for an upload); basePath is cut from the front
    // of each to name it under targetPath.
    TransferWorker(WFtpMain &main, const QMap<QString, bool> &items, const QString &targetPath,
                   const QString &basePath, TransferSlotQueue *queue);

    bool isDownload() const { return m_download; }
    // The local file the first item became (a download) or came from (an
    // upload), and the local folder that holds it.
    QString firstLocalFile() const;
    QString firstLocalFolder() const;
    void setOverwriteQuestion(OverwriteQuestion question) { m_question = std::move(question); }
    // The wait between reconnection attempts: 2000 ms, or
    // WIVORA_TRANSFER_RETRY_MS when set (tests shorten it).
    static int defaultRetryDelayMs();
    void setRetryDelayMs(int ms) { m_retryDelayMs = ms; }

    // The whole run; call once, on a pool thread.
    void run();
    // Any thread; none blocks.
    void stop() { m_state = State::Stopped; }
    // A stop at the end of the session: the file being downloaded keeps its
    // partial for a later run.
    void halt()
    {
        m_keepPartial = true;
        stop();
    }
    void pause();
    void resume();
    bool isPaused() const { return m_state == State::Paused; }
    bool isStopped() const { return m_state == State::Stopped; }

    // True once the worker first held a slot.
    bool hasStarted() const { return m_started; }
    // True once run() has ended.
    bool hasReturned() const { return m_returned; }
    qint64 bytesMoved() const { return m_bytesMoved; }
    int completedItems() const { return m_completed; }
    int failedItems() const { return m_failed; }

signals:
    void statusText(const QString &text);
    // speed in bytes per millisecond of the last chunk
    void progress(const QString &name, int percent, double speed, int item, int items);
    // allDone: not stopped and no item failed (skipped ones do not count).
    void finished(bool allDone);

private:
    enum class State { Running, Paused, Stopped };
    // Saving: received whole; counted once its file is in place.
    enum class Outcome { Done, Saving, Skipped, Failed, Stopped };

    bool takeSlot();
    // Holds while paused, giving the slot back meanwhile; false on stop.
    bool passPause();
    bool sleepUnlessStopped(int ms);
    // Makes the link again after it was lost, as often as it takes; false
    // only when stopped.
    bool ensureLink(VirtualFile &file, const QString &virtualPath);
    bool linkIsUp() const;
    QString reconnectingText() const;
    // Runs step until it succeeds or is refused on a working link, making
    // the link again after it was lost.
    bool withLink(VirtualFile &file, const QString &virtualPath, const std::function<bool()> &step);
    bool discIsOwn(const QString &virtualPath) const;
    QString relativeName(const QString &key) const;
    bool shouldWrite(bool exists, const QString &target);

    Outcome downloadFile(const QString &key, int item);
    // A file on a contact's disc small enough, by its folder's listing, to
    // come whole with others of its folder in one request.
    bool fitsBatch(const QString &key) const;
    // The run of such files of one folder from key on, fetched a batch a
    // request with the next one already on its way, and put in place a
    // batch at a time; files the owner did not serve (or all of them, when
    // it knows no batches) are then taken one by one. key and item move to
    // the last file of the run; false when stopped.
    bool downloadSmallFiles(QString &key, int &item);
    // The version of a file as its folder's listing gave it; the folder of a
    // file chosen by itself is listed once for it. Unknown when not listed.
    SourceVersion listedVersion(const QString &key);
    FolderListing listFolder(const QString &key);
    // Keeps the version of each listed file that is one of this transfer's
    // items.
    void noteListedFiles(const QString &folder, const FolderListing &listing);
    bool openLocal(PartialFile &local);
    // Reads the open remote file into local from the bytes local already
    // holds; a local file not open yet is opened once the first reads are on
    // their way. expected is the size the file should have.
    Outcome receive(VirtualFile &remote, const QString &key, PartialFile &local, qint64 expected, int item);
    // The chunk grows while answers come quickly, by a quarter once past the
    // first steps, so a fast link soon asks for large ones; a slow answer
    // halves it, so what is on its way stays well within a request's time.
    void growChunk();
    void shrinkChunk();
    // The next item's open goes out while this file is read, when it is a
    // file on a contact's disc; dropPrefetch closes one that is not used.
    void prefetchOpenAfter(const QString &key);
    // Sent on the run's link, which still works: an answer will come.
    bool isOnTheLink(const VirtualFile &file) const;
    std::unique_ptr<VirtualFile> takePrefetched(const QString &key);
    void dropPrefetch();
    // The remote file is closed while the next request goes out; its answer
    // is taken by settleClose.
    void closeLater(std::unique_ptr<VirtualFile> remote);
    void settleClose();
    bool expandRemoteFolder(const QString &key);
    Outcome uploadFile(const QString &key, int item);
    bool expandLocalFolder(const QString &key);
    void reportChunk(qint64 done, qint64 total, qint64 asked, qint64 elapsedMs, int item);

    WFtpMain &m_main;
    QMap<QString, bool> m_items;
    const QString m_targetPath;
    const QString m_basePath;
    TransferSlotQueue *const m_slots;
    const bool m_download;
    const QString m_firstKey;
    const bool m_firstIsFile;
    OverwriteQuestion m_question;
    enum class Policy { Ask, Always, Never } m_policy = Policy::Ask;
    int m_retryDelayMs = defaultRetryDelayMs();
    std::atomic<State> m_state{State::Running};
    std::atomic<int> m_completed{0};
    std::atomic<int> m_failed{0};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_returned{false};
    std::atomic<bool> m_keepPartial{false};
    std::atomic<qint64> m_bytesMoved{0};
    QString m_currentName;
    int m_item = 0;
    QString m_connectionID;
    // This transfer's own files as the owner's listings gave them, by key;
    // their sizes are a hint, checked at the end. The rest of a listed
    // folder is not kept: a file picked alone from a big folder would
    // otherwise hold the whole folder for as long as its row stays.
    QHash<QString, SourceVersion> m_listedFiles;
    QSet<QString> m_listedFolders;
    qint64 m_chunk = FirstChunk;
    std::unique_ptr<VirtualFile> m_closing;
    VirtualFile::Pending m_closeRequest;
    std::unique_ptr<VirtualFile> m_prefetched;
    QString m_prefetchedKey;
    VirtualFile::Pending m_prefetchedOpen;
    // Carried from file to file of the run, like the chunk size. Writes on
    // their way are sized alike, within what the owner holds ahead of a gap.
    ReadWindow m_window;
    ReadWindow m_writeWindow{RemoteFile::MaxHeldBytes};
    FileWriter m_writer;
    // Set once the owner refused a batch: the rest go one by one.
    bool m_batchesRefused = false;
    // Files whose overwrite was already agreed to, asked no more.
    QSet<QString> m_writeAgreed;
    FileCommitter m_commits;
};
