#include "TransferWorker.h"

#include "TransferSlotQueue.h"

#include <IWHost.h>
#include <PartialFile.h>
#include <SmallFileBatch.h>
#include <VirtualFile.h>
#include <WFtpCommands.h>
#include <WFtpEngine.h>
#include <WFtpMain.h>
#include <WFtpProtocol.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>

#include <chrono>
#include <deque>

namespace {

Q_LOGGING_CATEGORY(lcTransfers, "wivora.transfers")

constexpr int SlotPollMs = 10;
constexpr int RetryDelayMs = 2000;
constexpr int PauseSliceMs = 50;
// A chunk answered quicker than this grows (a write is answered sooner).
constexpr int QuickReadMs = 200;
constexpr int QuickWriteMs = 150;

// A relative name ("/a/b") whose every segment stays where it is put.
bool isSafeRelativeName(const QString &name)
{
    if (!name.startsWith(QLatin1Char('/')) || name.size() < 2)
        return false;
    const QStringList segments = name.mid(1).split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String("..") ||
            segment.contains(QLatin1Char('\\')) || segment.contains(QChar(0)))
            return false;
    }
    return true;
}

qint64 monotonicUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString parentOf(const QString &path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')));
}

QString lastSegment(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace

TransferWorker::TransferWorker(WFtpMain &main, const QMap<QString, bool> &items, const QString &targetPath,
                               const QString &basePath, TransferSlotQueue *queue)
    : m_main(main), m_items(items), m_targetPath(targetPath), m_basePath(basePath), m_slots(queue),
      // Virtual paths ("vls/...") are never absolute: a local target means a
      // download, also into a folder that is not made yet.
      m_download(QDir::isAbsolutePath(targetPath)), m_firstKey(items.isEmpty() ? QString() : items.firstKey()),
      m_firstIsFile(!items.isEmpty() && items.first()),
      // A download's bytes count once on the disc, where a later run finds them.
      m_writer([this](qint64 bytes) { m_bytesMoved += bytes; })
{
}

// Folders expand into keys that sort after their own, so the first key
// stays first for the whole run.
QString TransferWorker::firstLocalFile() const
{
    return m_download ? m_targetPath + relativeName(m_firstKey) : m_firstKey;
}

QString TransferWorker::firstLocalFolder() const
{
    if (m_download)
        return m_targetPath;
    return m_firstIsFile ? parentOf(m_firstKey) : m_firstKey;
}

int TransferWorker::defaultRetryDelayMs()
{
    bool ok = false;
    const int fromEnvironment = qEnvironmentVariableIntValue("WIVORA_TRANSFER_RETRY_MS", &ok);
    return ok && fromEnvironment > 0 ? fromEnvironment : RetryDelayMs;
}

void TransferWorker::pause()
{
    State expected = State::Running;
    m_state.compare_exchange_strong(expected, State::Paused);
}

void TransferWorker::resume()
{
    State expected = State::Paused;
    m_state.compare_exchange_strong(expected, State::Running);
}

bool TransferWorker::sleepUnlessStopped(int ms)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < ms) {
        if (m_state == State::Stopped)
            return false;
        QThread::msleep(qMin<qint64>(PauseSliceMs, ms - waited.elapsed()));
    }
    return m_state != State::Stopped;
}

bool TransferWorker::takeSlot()
{
    if (!m_slots)
        return m_state != State::Stopped;
    m_slots->enqueueTransfer(this);
    while (!m_slots->tryTakeSlot(this, SlotPollMs)) {
        if (m_state == State::Stopped) {
            m_slots->removeFromQueue(this);
            return false;
        }
        QThread::msleep(SlotPollMs);
    }
    return true;
}

bool TransferWorker::passPause()
{
    if (m_state != State::Paused)
        return m_state != State::Stopped;
    // A paused transfer lets the next one in and queues again behind it.
    if (m_slots)
        m_slots->releaseSlot(this);
    emit statusText(m_currentName + QLatin1Char(' ') + tr("paused"));
    while (m_state == State::Paused)
        QThread::msleep(PauseSliceMs);
    if (m_state == State::Stopped)
        return false;
    emit statusText(m_currentName + QLatin1Char(' ') + tr("resuming"));
    return takeSlot();
}

bool TransferWorker::discIsOwn(const QString &virtualPath) const
{
    const KvrConfig parts = m_main.engine()->splitPath(virtualPath);
    return parts.gv(QStringLiteral("discType")) == QLatin1String("vls") &&
           parts.gv(QStringLiteral("owner")) == m_main.userName();
}

bool TransferWorker::ensureLink(VirtualFile &file, const QString &virtualPath)
{
    // The own disc is read and written in place: no link.
    if (discIsOwn(virtualPath))
        return true;
    IWHost *const host = m_main.host();
    if (!host)
        return false;
    // One link serves the whole run while it lasts.
    if (linkIsUp()) {
        file.connectionID = m_connectionID;
        return true;
    }
    const KvrConfig parts = m_main.engine()->splitPath(virtualPath);
    const QString owner = parts.gv(QStringLiteral("owner"));
    const bool serverConnection = parts.gv(QStringLiteral("discType")) != QLatin1String("vls");
    // A link of this run went down: the row says so while a new one is made.
    if (!m_connectionID.isEmpty())
        emit statusText(reconnectingText());
    // A sleeping laptop or a long outage: no try is the last one.
    for (;;) {
        const QString link = host->openUserConnection(owner, serverConnection);
        if (!link.isEmpty()) {
            m_connectionID = file.connectionID = link;
            return true;
        }
        emit statusText(reconnectingText());
        if (!sleepUnlessStopped(m_retryDelayMs))
            return false;
    }
}

QString TransferWorker::reconnectingText() const
{
    return m_currentName + QLatin1Char(' ') + tr("reconnecting") + QLatin1Char(' ') + QString::number(m_item)
        + QLatin1Char(' ') + tr("of") + QLatin1Char(' ') + QString::number(m_items.size());
}

bool TransferWorker::linkIsUp() const
{
    IWHost *const host = m_main.host();
    return host && !m_connectionID.isEmpty() && host->isConnectionActive(m_connectionID);
}

bool TransferWorker::withLink(VirtualFile &file, const QString &virtualPath, const std::function<bool()> &step)
{
    for (;;) {
        if (!ensureLink(file, virtualPath))
            return false;
        if (step())
            return true;
        // Refused on a working road: a real answer, not a lost link.
        if (discIsOwn(virtualPath) || (linkIsUp() && file.ownerAnswered()) || !sleepUnlessStopped(m_retryDelayMs))
            return false;
    }
}

QString TransferWorker::relativeName(const QString &key) const
{
    if (!key.startsWith(m_basePath))
        return QString();
    QString name = key.mid(m_basePath.size());
    if (!name.startsWith(QLatin1Char('/')))
        name.prepend(QLatin1Char('/'));
    return isSafeRelativeName(name) ? name : QString();
}

bool TransferWorker::shouldWrite(bool exists, const QString &target)
{
    if (!exists || m_policy == Policy::Always)
        return true;
    if (m_policy == Policy::Never || !m_question)
        return false;
    switch (m_question(target)) {
    case Answer::Yes:
        return true;
    case Answer::YesToAll:
        m_policy = Policy::Always;
        return true;
    case Answer::NoToAll:
        m_policy = Policy::Never;
        return false;
    case Answer::No:
        break;
    }
    return false;
}

void TransferWorker::reportChunk(qint64 done, qint64 total, qint64 asked, qint64 elapsedMs, int item)
{
    double percent = total > 0 ? 100.0 * double(done) / double(total) : 100.0;
    if (percent > 100.0)
        percent = 100.0;
    // A chunk quicker than the clock's tick still counts as one millisecond.
    const double speed = double(asked) / double(qMax<qint64>(elapsedMs, 1));
    if (m_state != State::Paused)
        emit progress(m_currentName, int(percent), speed, item, m_items.size());
}

void TransferWorker::run()
{
    int item = 0;
    if (takeSlot() && !m_items.isEmpty()) {
        m_started = true;
        // Keys inserted while folders expand sort after their folder, so one
        // pass by key reaches them.
        for (QString key = m_items.firstKey();;) {
            m_item = ++item;
            emit statusText(tr("opening") + QLatin1Char(' ') + WFtpMain::shownPath(key));
            if (m_state == State::Stopped)
                break;
            const bool isFile = m_items.value(key);
            // Files its folder's listing showed small come with others.
            if (isFile && m_download && fitsBatch(key)) {
                if (!downloadSmallFiles(key, item))
                    break;
                const auto next = m_items.upperBound(key);
                if (next == m_items.end())
                    break;
                key = next.key();
                continue;
            }
            Outcome outcome;
            if (isFile)
                outcome = m_download ? downloadFile(key, item) : uploadFile(key, item);
            else
                outcome = (m_download ? expandRemoteFolder(key) : expandLocalFolder(key)) ? Outcome::Done
                                                                                           : Outcome::Failed;
            if (outcome == Outcome::Stopped)
                break;
            if (outcome == Outcome::Done)
                ++m_completed;
            else if (outcome == Outcome::Failed)
                ++m_failed;
            const auto next = m_items.upperBound(key);
            if (next == m_items.end())
                break;
            key = next.key();
        }
    }
    dropPrefetch();
    settleClose();
    m_commits.waitForAll();
    m_writer.stop();
    // An ended transfer stays in the list until cleared: it keeps only
    // what its row shows.
    m_listedFiles = {};
    m_listedFolders = {};
    m_writeAgreed = {};
    if (!m_connectionID.isEmpty() && m_main.host())
        m_main.host()->closeConnection(m_connectionID);
    if (m_slots)
        m_slots->removeFromQueue(this);
    // Items the user chose to skip are no failure.
    const bool allDone = m_state != State::Stopped && m_failed == 0;
    if (m_state != State::Stopped && !m_items.isEmpty())
        emit statusText(WFtpMain::shownPath(m_items.firstKey()) + QLatin1Char(' ') + tr("completed") + QLatin1Char(' ') +
                        QString::number(m_completed) + QLatin1Char(' ') + tr("of") + QLatin1Char(' ') +
                        QString::number(m_items.size()));
    m_returned = true;
    emit finished(allDone);
}

bool TransferWorker::expandRemoteFolder(const QString &key)
{
    emit statusText(tr("Retrieving folder") + QLatin1Char(' ') + WFtpMain::shownPath(key));
    const QString name = relativeName(key);
    if (name.isEmpty())
        return false;
    // A folder whose listing failed is a failed item, not an empty folder.
    const FolderListing listing = listFolder(key);
    if (!listing.ok())
        return false;
    for (const auto &row : listing.rows.getChildren()) {
        const QString rowName = row->gv(QStringLiteral("Name"));
        const bool isFile = row->gv(QStringLiteral("Extension")) != QLatin1String("directory");
        if (WFtpCommands::isSafeRowName(rowName))
            m_items.insert(key + QLatin1Char('/') + rowName, isFile);
    }
    noteListedFiles(key, listing);
    return QDir().mkpath(m_targetPath + name);
}

FolderListing TransferWorker::listFolder(const QString &key)
{
    FolderListing listing;
    VirtualFile road(m_main);
    withLink(road, key, [&] {
        listing = discIsOwn(key) ? FolderListing{m_main.engine()->listDirectory(key, m_main.userName(), false)}
                                 : WFtpCommands(m_main).listDirectory(key, false);
        return listing.ok();
    });
    return listing;
}

void TransferWorker::noteListedFiles(const QString &folder, const FolderListing &listing)
{
    m_listedFolders.insert(folder);
    for (const auto &row : listing.rows.getChildren()) {
        const QString rowName = row->gv(QStringLiteral("Name"));
        if (!WFtpCommands::isSafeRowName(rowName) || row->gv(QStringLiteral("Extension")) == QLatin1String("directory"))
            continue;
        SourceVersion file;
        file.path = folder + QLatin1Char('/') + rowName;
        if (!m_items.contains(file.path))
            continue;
        bool sized = false;
        file.size = row->gv(QStringLiteral("Size")).toLongLong(&sized);
        if (!sized || file.size < 0)
            continue;
        file.modified = row->GetValue(QStringLiteral("Modified"));
        m_listedFiles.insert(file.path, file);
    }
}

SourceVersion TransferWorker::listedVersion(const QString &key)
{
    const QString folder = parentOf(key);
    if (!m_listedFiles.contains(key) && !m_listedFolders.contains(folder)) {
        // Asked once per folder, whatever the answer.
        m_listedFolders.insert(folder);
        const FolderListing listing = listFolder(folder);
        if (listing.ok())
            noteListedFiles(folder, listing);
    }
    return m_listedFiles.value(key);
}

bool TransferWorker::openLocal(PartialFile &local)
{
    return QDir().mkpath(parentOf(local.target())) && local.open(QIODevice::WriteOnly);
}

TransferWorker::Outcome TransferWorker::downloadFile(const QString &key, int item)
{
    m_currentName = relativeName(key);
    if (m_currentName.isEmpty())
        return Outcome::Failed;
    const QString target = m_targetPath + m_currentName;
    std::unique_ptr<VirtualFile> remote = takePrefetched(key);
    // One sent ahead may have met a lost link: asked again as usual.
    if (!remote) {
        remote = std::make_unique<VirtualFile>(m_main);
        if (!withLink(*remote, key, [&] { return remote->open(key, VirtualFile::Mode::Read); }))
            remote.reset();
    }
    settleClose();
    if (!remote)
        return m_state == State::Stopped ? Outcome::Stopped : Outcome::Failed;
    prefetchOpenAfter(key);
    // A link there, dangling or not, is an existing file: it is asked about,
    // and then replaced itself.
    const QFileInfo existing(target);
    if (!m_writeAgreed.remove(key) && !shouldWrite(existing.exists() || existing.isSymLink(), target)) {
        closeLater(std::move(remote));
        return Outcome::Skipped;
    }
    const SourceVersion source = listedVersion(key);
    const qint64 expected = source.size >= 0 ? source.size : remote->size();
    if (expected < 0) {
        closeLater(std::move(remote));
        return Outcome::Failed;
    }
    // A kept partial tells where to start, so it is taken up before the
    // first read; a new temporary is made while the first reads travel.
    const bool keepable = source.isKnown() && source.size >= KeptPartialFromBytes;
    auto local = keepable ? std::make_unique<PartialFile>(target, source) : std::make_unique<PartialFile>(target);
    if (keepable && !openLocal(*local)) {
        closeLater(std::move(remote));
        return Outcome::Failed;
    }
    if (local->keptBytes() > 0)
        qCInfo(lcTransfers).noquote() << "resuming" << target << "from byte" << local->keptBytes();
    Outcome outcome = receive(*remote, key, *local, expected, item);
    closeLater(std::move(remote));
    // What is still on its way to the disc lands before the file is kept or
    // put in place; a disc that refused it fails the file.
    const bool keepsBytes = outcome == Outcome::Done || (outcome == Outcome::Stopped && m_keepPartial);
    if (!keepsBytes)
        m_writer.abandon();
    else if (!m_writer.finish() && outcome == Outcome::Done) {
        qCWarning(lcTransfers).noquote() << "cannot write" << target << m_writer.errorString();
        outcome = Outcome::Failed;
    }
    if (outcome == Outcome::Stopped && m_keepPartial) {
        local->keep();
        return outcome;
    }
    if (outcome != Outcome::Done) {
        local->discard();
        return outcome;
    }
    m_commits.commit(std::move(local), [this](bool committed) { ++(committed ? m_completed : m_failed); });
    return Outcome::Saving;
}

bool TransferWorker::fitsBatch(const QString &key) const
{
    if (m_batchesRefused || discIsOwn(key))
        return false;
    const auto listed = m_listedFiles.constFind(key);
    return listed != m_listedFiles.constEnd() && listed->size >= 0 && listed->size <= SmallFileBatch::MaxFileBytes;
}

bool TransferWorker::downloadSmallFiles(QString &key, int &item)
{
    // The run: files of key's folder next to each other, each small.
    struct Wanted
    {
        QString key;
        int item;
    };
    QVector<Wanted> wanted;
    QVector<Wanted> oneByOne;
    const QString folder = parentOf(key);
    int number = item;
    for (auto it = m_items.find(key); it != m_items.end() && it.value() && parentOf(it.key()) == folder
         && fitsBatch(it.key());
         ++it) {
        key = it.key();
        item = number++;
        m_currentName = relativeName(key);
        if (m_currentName.isEmpty()) {
            ++m_failed;
            continue;
        }
        const QString target = m_targetPath + m_currentName;
        const QFileInfo existing(target);
        if (!shouldWrite(existing.exists() || existing.isSymLink(), target))
            continue;
        wanted.append({key, item});
    }
    m_item = item;
    VirtualFile road(m_main);
    if (!wanted.isEmpty() && !ensureLink(road, wanted.first().key))
        return false;
    dropPrefetch();
    settleClose();

    const QString owner = WFtpMain::ownerOf(folder);
    struct Batch
    {
        KvrConfig record;
        QVector<Wanted> files;
        QStringList names;
        bool sent = false;
    };
    std::deque<Batch> flight;
    WFtpCommands commands(m_main);
    const auto abandonFlight = [&] {
        for (const Batch &batch : flight) {
            if (batch.sent)
                commands.abandonReply(batch.record);
        }
        flight.clear();
    };
    int next = 0;
    QElapsedTimer cycle;
    cycle.start();
    while (next < wanted.size() || !flight.empty()) {
        if (m_state == State::Stopped || (flight.empty() && !passPause())) {
            abandonFlight();
            return false;
        }
        while (int(flight.size()) < BatchesInFlight && next < wanted.size() && m_state == State::Running) {
            Batch batch;
            for (; next < wanted.size() && batch.files.size() < SmallFilesPerBatch; ++next) {
                batch.files.append(wanted.at(next));
                batch.names.append(lastSegment(wanted.at(next).key));
            }
            batch.record = WFtpCommands::newRecord(WFtpProtocol::ReadFiles);
            batch.record.sv(WFtpProtocol::KeyPath, folder);
            batch.record.SetValue(WFtpProtocol::KeyFiles, SmallFileBatch::encodeNames(batch.names));
            batch.sent = !m_batchesRefused && commands.send(batch.record, owner, false, m_connectionID);
            flight.push_back(std::move(batch));
        }
        if (flight.empty())
            continue;
        const Batch batch = std::move(flight.front());
        flight.pop_front();
        const KvrConfig reply = batch.sent ? commands.awaitReply(batch.record, owner) : KvrConfig();
        QVector<SmallFileBatch::File> files;
        if (!SmallFileBatch::readReply(reply, batch.names, &files)) {
            // A refusal: the owner knows no batches (or refuses the folder,
            // which the files' own requests then tell). A lost or damaged
            // reply costs only its own files their batch.
            if (!reply.isEmpty() && !reply.checkResult())
                m_batchesRefused = true;
            oneByOne += batch.files;
            continue;
        }
        std::vector<FileCommitter::Received> received;
        received.reserve(size_t(files.size()));
        const qint64 elapsed = cycle.restart();
        for (int i = 0; i < files.size(); ++i) {
            if (!files.at(i).served) {
                oneByOne.append(batch.files.at(i));
                continue;
            }
            m_currentName = relativeName(batch.files.at(i).key);
            received.push_back({m_targetPath + m_currentName, files.at(i).data});
            m_bytesMoved += files.at(i).size;
            reportChunk(1, 1, files.at(i).size, elapsed, batch.files.at(i).item);
        }
        m_commits.commitBatch(std::move(received),
                              [this](const QString &, bool committed) { ++(committed ? m_completed : m_failed); });
    }
    // Taken one by one as any other file, without asking again whether to
    // overwrite.
    for (const Wanted &file : qAsConst(oneByOne)) {
        m_writeAgreed.insert(file.key);
        m_item = file.item;
        const Outcome outcome = downloadFile(file.key, file.item);
        m_writeAgreed.remove(file.key);
        if (outcome == Outcome::Stopped)
            return false;
        if (outcome == Outcome::Done)
            ++m_completed;
        else if (outcome == Outcome::Failed)
            ++m_failed;
    }
    m_item = item;
    return true;
}

TransferWorker::Outcome TransferWorker::receive(VirtualFile &remote, const QString &key, PartialFile &local,
                                                qint64 expected, int item)
{
    // Reads carry their offset, so several are on their way while one is
    // written. The last asks for a byte past the expected end: its short
    // answer shows the end, a full one that the file grew.
    std::deque<VirtualFile::Pending> flight;
    std::deque<qint64> sentUs;
    qint64 inFlight = 0;
    const auto dropFlight = [&] {
        for (const VirtualFile::Pending &read : flight)
            remote.abandon(read);
        flight.clear();
        sentUs.clear();
        inFlight = 0;
    };
    qint64 done = local.keptBytes();
    qint64 asked = done;
    int unanswered = 0;
    bool quick = true;
    QElapsedTimer cycle;
    cycle.start();
    for (;;) {
        if (m_state == State::Stopped) {
            dropFlight();
            return Outcome::Stopped;
        }
        // A pause first takes what is on its way.
        if (flight.empty() && !passPause())
            return Outcome::Stopped;
        for (;;) {
            const qint64 count = asked + m_chunk >= expected ? expected - asked + 1 : m_chunk;
            if (m_state != State::Running || asked > expected || !m_window.admits(inFlight, count))
                break;
            flight.push_back(remote.sendRead(asked, count));
            sentUs.push_back(monotonicUs());
            inFlight += count;
            asked += count;
            if (quick)
                growChunk();
        }
        // Made ready while the first reads are on their way.
        if (!local.isOpen() && !openLocal(local)) {
            dropFlight();
            return Outcome::Failed;
        }
        if (!m_writer.isStarted())
            m_writer.start(local.handle(), done, expected);
        if (flight.empty()) {
            if (m_state != State::Running)
                continue;
            // Longer than expected: its new size bounds the reads again.
            expected = qMax(remote.size(), done);
            continue;
        }
        const VirtualFile::Pending read = flight.front();
        const qint64 sent = sentUs.front();
        flight.pop_front();
        sentUs.pop_front();
        inFlight -= read.count;
        bool answered = false;
        const QByteArray data = remote.takeRead(read, &answered);
        // Nothing at all: the end, unless the owner no longer holds the file.
        if (!answered || (data.isEmpty() && !remote.isOpen())) {
            // A lost link, an owner that stopped answering, or a file closed
            // while idle: ask again from the same byte, for as long as it takes.
            dropFlight();
            asked = done;
            m_chunk = FirstChunk;
            m_window.reset();
            if (++unanswered > 1)
                emit statusText(reconnectingText());
            if (!sleepUnlessStopped(unanswered > 1 ? m_retryDelayMs : 0) || !ensureLink(remote, key))
                return Outcome::Stopped;
            // Only an owner that answers and refuses the file ends the item.
            if (!remote.isOpen() && remote.ownerAnswered() && !remote.open(key, VirtualFile::Mode::Read)
                && remote.ownerAnswered())
                return Outcome::Failed;
            cycle.restart();
            continue;
        }
        unanswered = 0;
        const qint64 answeredUs = monotonicUs();
        m_window.answered(data.size(), answeredUs - sent, answeredUs);
        if (!m_writer.write(done, data)) {
            dropFlight();
            return Outcome::Failed;
        }
        done += data.size();
        const qint64 elapsed = cycle.restart();
        quick = elapsed < QuickReadMs;
        if (!quick)
            shrinkChunk();
        if (data.size() < read.count) {
            // Short before the expected end: the owner's file shrank. The
            // copy is whole only when the file now ends where it stops; one
            // that shrank below what arrived changed under the copy.
            if (done < expected && remote.size() != done) {
                dropFlight();
                return Outcome::Failed;
            }
            reportChunk(done, done, read.count, elapsed, item);
            dropFlight();
            return Outcome::Done;
        }
        reportChunk(done, expected, read.count, elapsed, item);
    }
}

void TransferWorker::growChunk()
{
    if (m_chunk < LargestChunk)
        m_chunk = qMin(LargestChunk, m_chunk + qMax(FirstChunk, m_chunk / 4));
}

void TransferWorker::shrinkChunk()
{
    m_chunk = qMax(FirstChunk, m_chunk / 2);
}

void TransferWorker::prefetchOpenAfter(const QString &key)
{
    const auto next = m_items.upperBound(key);
    if (m_prefetched || next == m_items.end() || !next.value() || discIsOwn(next.key()) || fitsBatch(next.key())
        || !linkIsUp())
        return;
    m_prefetched = std::make_unique<VirtualFile>(m_main);
    m_prefetched->connectionID = m_connectionID;
    m_prefetchedKey = next.key();
    m_prefetchedOpen = m_prefetched->sendOpen(m_prefetchedKey, VirtualFile::Mode::Read);
}

bool TransferWorker::isOnTheLink(const VirtualFile &file) const
{
    return !file.connectionID.isEmpty() && file.connectionID == m_connectionID && linkIsUp();
}

std::unique_ptr<VirtualFile> TransferWorker::takePrefetched(const QString &key)
{
    if (m_prefetched && (m_prefetchedKey != key || !isOnTheLink(*m_prefetched)))
        dropPrefetch();
    if (!m_prefetched)
        return nullptr;
    std::unique_ptr<VirtualFile> remote = std::move(m_prefetched);
    return remote->takeOpen(m_prefetchedOpen) ? std::move(remote) : nullptr;
}

void TransferWorker::dropPrefetch()
{
    if (!m_prefetched)
        return;
    std::unique_ptr<VirtualFile> remote = std::move(m_prefetched);
    // A lost link answers nothing: the owner closes the file when idle.
    if (!isOnTheLink(*remote))
        remote->abandon(m_prefetchedOpen);
    else if (remote->takeOpen(m_prefetchedOpen))
        closeLater(std::move(remote));
}

void TransferWorker::closeLater(std::unique_ptr<VirtualFile> remote)
{
    settleClose();
    m_closeRequest = remote->sendClose();
    m_closing = std::move(remote);
}

void TransferWorker::settleClose()
{
    if (!m_closing)
        return;
    // Its answer tells nothing the transfer needs; it is only taken, unless
    // the link it went on is gone and nothing will come.
    if (isOnTheLink(*m_closing))
        m_closing->takeClose(m_closeRequest);
    else
        m_closing->abandon(m_closeRequest);
    m_closing.reset();
}

bool TransferWorker::expandLocalFolder(const QString &key)
{
    emit statusText(tr("Retrieving folder") + QLatin1Char(' ') + WFtpMain::shownPath(key));
    const QString name = relativeName(key);
    if (name.isEmpty())
        return false;
    const QFileInfoList entries =
        QDir(key).entryInfoList(QDir::Dirs | QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                                QDir::Name);
    for (const QFileInfo &entry : entries)
        m_items.insert(key + QLatin1Char('/') + entry.fileName(), !entry.isDir());
    const QString remote = m_targetPath + name;
    // An existing folder is fine; a missing one fails its files one by one.
    VirtualFile road(m_main);
    withLink(road, remote, [&] {
        return discIsOwn(remote)
                   ? m_main.engine()->createDirectory(parentOf(remote), lastSegment(remote), m_main.userName())
                   : WFtpCommands(m_main).createDirectory(parentOf(remote), lastSegment(remote));
    });
    return true;
}

TransferWorker::Outcome TransferWorker::uploadFile(const QString &key, int item)
{
    m_currentName = relativeName(key);
    if (m_currentName.isEmpty())
        return Outcome::Failed;
    QFile local(key);
    if (!local.open(QIODevice::ReadOnly))
        return Outcome::Failed;
    const QString target = m_targetPath + m_currentName;
    VirtualFile remote(m_main);
    bool exists = false;
    withLink(remote, target, [&] {
        exists = discIsOwn(target) ? m_main.engine()->checkFileExist(target, m_main.userName())
                                   : WFtpCommands(m_main).checkFileExist(target);
        return exists;
    });
    if (m_state == State::Stopped)
        return Outcome::Stopped;
    if (!shouldWrite(exists, target))
        return Outcome::Skipped;
    // The owner writes a new file and puts it in place only once it holds
    // all the bytes: a stopped or failed upload leaves the old one whole.
    const qint64 total = local.size();
    const auto openNew = [&] { return remote.open(target, VirtualFile::Mode::Write, total); };
    if (!withLink(remote, target, openNew))
        return m_state == State::Stopped ? Outcome::Stopped : Outcome::Failed;
    // Writes carry their offset and the owner applies them in offset order,
    // so several are on their way, as many as the window holds; done counts
    // the bytes the owner confirmed, sent those on their way too.
    std::deque<VirtualFile::Pending> flight;
    std::deque<qint64> sentUs;
    qint64 inFlight = 0;
    qint64 done = 0;
    qint64 sent = 0;
    const auto dropFlight = [&] {
        for (const VirtualFile::Pending &write : flight)
            remote.abandon(write);
        flight.clear();
        sentUs.clear();
        inFlight = 0;
        sent = done;
    };
    for (;;) {
        if (m_state == State::Stopped || (flight.empty() && !passPause())) {
            // Every byte may be on its way already: a plain close would
            // then put the new file in place.
            dropFlight();
            remote.giveUp();
            return Outcome::Stopped;
        }
        while (m_state == State::Running && sent < total && m_writeWindow.admits(inFlight, qMin(m_chunk, total - sent))) {
            QByteArray data;
            if (local.seek(sent))
                data = local.read(qMin(m_chunk, total - sent));
            if (data.isEmpty()) {
                // The local file shrank or became unreadable: the copy would be short.
                dropFlight();
                remote.close();
                return Outcome::Failed;
            }
            flight.push_back(remote.sendWrite(data, sent));
            sentUs.push_back(monotonicUs());
            inFlight += data.size();
            sent += data.size();
        }
        if (flight.empty()) {
            if (m_state != State::Running)
                continue;
            // Put in place by the owner only when whole: its answer tells.
            if (remote.close())
                return Outcome::Done;
        } else {
            const VirtualFile::Pending write = flight.front();
            const qint64 sentAt = sentUs.front();
            flight.pop_front();
            sentUs.pop_front();
            inFlight -= write.count;
            if (remote.takeWrite(write)) {
                done += write.count;
                m_bytesMoved += write.count;
                const qint64 now = monotonicUs();
                m_writeWindow.answered(write.count, now - sentAt, now);
                const qint64 elapsedMs = (now - sentAt) / 1000;
                reportChunk(done, total, write.count, elapsedMs, item);
                if (elapsedMs < QuickWriteMs)
                    growChunk();
                continue;
            }
            // No answer on a link that still works (a lost reply): that
            // write alone goes again, before the answers of the others.
            if (!discIsOwn(target) && !remote.ownerAnswered() && linkIsUp() && remote.isOpen()) {
                QByteArray data;
                if (local.seek(write.from))
                    data = local.read(write.count);
                if (data.size() == write.count) {
                    flight.push_front(remote.sendWrite(data, write.from));
                    sentUs.push_front(monotonicUs());
                    inFlight += write.count;
                    continue;
                }
            }
        }
        dropFlight();
        m_chunk = FirstChunk;
        m_writeWindow.reset();
        // Refused by an owner that answers: a real failure.
        if (discIsOwn(target) || (remote.ownerAnswered() && linkIsUp() && (done >= total || remote.isOpen()))) {
            remote.close();
            return Outcome::Failed;
        }
        emit statusText(reconnectingText());
        if (!sleepUnlessStopped(m_retryDelayMs) || !ensureLink(remote, target)) {
            remote.giveUp();
            return Outcome::Stopped;
        }
        // The owner gave the unfinished file up meanwhile (or never heard
        // the close): a new one from the start.
        if (!remote.isOpen() && remote.ownerAnswered()) {
            if (!openNew() && remote.ownerAnswered())
                return Outcome::Failed;
            done = sent = 0;
        }
    }
}
