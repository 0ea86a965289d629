#include "BufferedCommandsStore.h"

#include "ClientLogging.h"

#include <PrivateFiles.h>
#include <WholeWrites.h>

#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>
#include <QThreadPool>
#include <QtDebug>
#include <QtEndian>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QString BufferedCommandsStore::JournalName = QStringLiteral("bufferedcommands.bfj");

namespace {

constexpr char kBase = 'B';
constexpr char kAdded = 'A';
constexpr char kDelivered = 'R';
constexpr int kHeaderBytes = 9; // kind, length, checksum

constexpr std::array<quint32, 256> makeCrcTable()
{
    std::array<quint32, 256> table{};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<quint32, 256> kCrcTable = makeCrcTable();

quint32 crc32Of(char kind, const char *data, qint64 size)
{
    quint32 crc = 0xFFFFFFFFu;
    crc = kCrcTable[(crc ^ quint8(kind)) & 0xFF] ^ (crc >> 8);
    for (qint64 i = 0; i < size; ++i)
        crc = kCrcTable[(crc ^ quint8(data[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

QByteArray entryBytes(char kind, const QByteArray &payload)
{
    QByteArray entry(kHeaderBytes, Qt::Uninitialized);
    entry[0] = kind;
    qToBigEndian<quint32>(quint32(payload.size()), entry.data() + 1);
    qToBigEndian<quint32>(crc32Of(kind, payload.constData(), payload.size()), entry.data() + 5);
    return entry + payload;
}

QByteArray digestOf(const QByteArray &snapshot)
{
    return QCryptographicHash::hash(snapshot, QCryptographicHash::Sha256);
}

QByteArray streamed(const QString &user, const QByteArray &form)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_6);
    stream << user << form;
    return bytes;
}

QByteArray streamed(const QString &user, const QString &id)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_6);
    stream << user << id;
    return bytes;
}

// A QString and then a QString or QByteArray from payload, each length
// checked against what remains before it is read; false on damage or when
// anything is left over.
template <typename Second>
bool unstream(const QByteArray &payload, QString *user, Second *second)
{
    QDataStream stream(payload);
    stream.setVersion(QDataStream::Qt_4_6);
    const auto fits = [&](bool isText) {
        if (payload.size() - stream.device()->pos() < 4)
            return false;
        const quint32 length = qFromBigEndian<quint32>(payload.constData() + stream.device()->pos());
        if (length == 0xFFFFFFFFu)
            return true;
        return (!isText || length % 2 == 0) && qint64(length) <= payload.size() - stream.device()->pos() - 4;
    };
    if (!fits(true))
        return false;
    stream >> *user;
    if (stream.status() != QDataStream::Ok || !fits(std::is_same<Second, QString>::value))
        return false;
    stream >> *second;
    return stream.status() == QDataStream::Ok && stream.atEnd() && !user->isEmpty();
}

// The file's bytes, never through a symbolic link; empty when absent.
QByteArray readPlainFile(const QString &path, bool *readable)
{
    *readable = true;
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        *readable = errno == ENOENT;
        return QByteArray();
    }
    QFile file;
    struct stat info;
    if (::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode)
        && file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return file.readAll();
    ::close(descriptor);
    *readable = false;
    return QByteArray();
}

void syncPath(const QString &path, int flags)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (descriptor < 0)
        return;
    ::fdatasync(descriptor);
    ::close(descriptor);
}

} // namespace

BufferedCommandsStore::Replay BufferedCommandsStore::replay(const QByteArray &snapshot, const QByteArray &journal)
{
    Replay result;
    bool snapshotIntact = true;
    result.queues = snapshot.isEmpty() ? Queues() : BufferedCommandsFile::parse(snapshot, &snapshotIntact);
    result.intact = snapshotIntact;

    const QByteArray digest = digestOf(snapshot);
    qint64 at = 0;
    while (at < journal.size()) {
        if (journal.size() - at < kHeaderBytes)
            break;
        const char kind = journal.at(int(at));
        const quint32 length = qFromBigEndian<quint32>(journal.constData() + at + 1);
        if (length > MaxEntryBytes || qint64(length) > journal.size() - at - kHeaderBytes)
            break;
        const char *data = journal.constData() + at + kHeaderBytes;
        if (crc32Of(kind, data, length) != qFromBigEndian<quint32>(journal.constData() + at + 5))
            break;
        const QByteArray payload = QByteArray::fromRawData(data, int(length));
        if (at == 0) {
            // Written for another snapshot: its changes are in this one.
            if (kind != kBase || payload != digest)
                break;
            result.journalApplies = true;
        } else if (kind == kAdded) {
            QString user;
            QByteArray form;
            KvrConfig record;
            if (!unstream(payload, &user, &form) || !record.DeserializeConfigBinary(form))
                break;
            result.queues[user].append(record);
        } else if (kind == kDelivered) {
            QString user, id;
            if (!unstream(payload, &user, &id))
                break;
            const auto queue = result.queues.find(user);
            if (queue != result.queues.end()) {
                for (int i = 0; i < queue->size(); ++i) {
                    if (queue->at(i).GetID() == id) {
                        queue->removeAt(i);
                        break;
                    }
                }
                if (queue->isEmpty())
                    result.queues.erase(queue);
            }
        } else {
            break;
        }
        at += kHeaderBytes + length;
    }
    if (result.journalApplies)
        result.soundJournalBytes = at;
    result.intact = result.intact && (journal.isEmpty() || (result.journalApplies && at == journal.size()));
    return result;
}

BufferedCommandsStore::BufferedCommandsStore(const QString &snapshotName)
    : m_snapshotName(snapshotName), m_sync(std::make_shared<SyncState>())
{
}

BufferedCommandsStore::~BufferedCommandsStore() = default;

QString BufferedCommandsStore::snapshotPath() const
{
    return m_folder + QLatin1Char('/') + m_snapshotName;
}

QString BufferedCommandsStore::journalPath() const
{
    return m_folder + QLatin1Char('/') + JournalName;
}

BufferedCommandsStore::Queues BufferedCommandsStore::open(const QString &folder)
{
    m_folder = folder;
    bool snapshotReadable = true, journalReadable = true;
    const QByteArray snapshot = readPlainFile(snapshotPath(), &snapshotReadable);
    const QByteArray journal = readPlainFile(journalPath(), &journalReadable);
    const Replay replayed = replay(snapshot, journal);
    if (!replayed.intact)
        qCWarning(lcRecords).noquote() << "damaged buffered commands, kept what was intact:" << folder;
    m_snapshotDigest = digestOf(snapshot);
    m_waitingBytes = 0;
    for (const QList<KvrConfig> &queue : replayed.queues) {
        for (const KvrConfig &record : queue)
            m_waitingBytes += record.SerializeConfigBinary().size();
    }
    m_journalBytes = replayed.soundJournalBytes;
    if (!journal.isEmpty() && journal.size() != m_journalBytes) {
        if (m_journalBytes == 0) {
            // Nothing of it applies (unless the snapshot could not be read):
            // the next append starts it anew.
            if (snapshotReadable)
                QFile::remove(journalPath());
        } else if (::truncate(QFile::encodeName(journalPath()).constData(), off_t(m_journalBytes)) != 0) {
            m_journalBytes = 0;
            compact(replayed.queues); // later appends must not hide behind the torn end
        }
    }
    return replayed.queues;
}

void BufferedCommandsStore::close()
{
    m_folder.clear();
    m_snapshotDigest.clear();
    m_journalBytes = 0;
    m_waitingBytes = 0;
}

bool BufferedCommandsStore::recordAdded(const QString &user, const KvrConfig &record)
{
    const QByteArray form = record.SerializeConfigBinary();
    if (!appendEntry(kAdded, streamed(user, form)))
        return false;
    m_waitingBytes += form.size();
    return true;
}

bool BufferedCommandsStore::recordDelivered(const QString &user, const KvrConfig &record, const Queues &queues)
{
    m_waitingBytes = qMax<qint64>(0, m_waitingBytes - record.SerializeConfigBinary().size());
    // Unwritten, the record is only sent again, and the receiver knows it by
    // its "ID".
    const bool written = appendEntry(kDelivered, streamed(user, record.GetID()));
    if (m_journalBytes > 2 * m_waitingBytes + CompactionSlack)
        return compact(queues) && written;
    return written;
}

bool BufferedCommandsStore::compact(const Queues &queues)
{
    if (!isOpen())
        return false;
    const QByteArray snapshot = BufferedCommandsFile::serialize(queues);
    if (!PrivateFiles::write(snapshotPath(), snapshot))
        return false;
    m_snapshotDigest = digestOf(snapshot);
    m_waitingBytes = 0;
    for (const QList<KvrConfig> &queue : queues) {
        for (const KvrConfig &record : queue)
            m_waitingBytes += record.SerializeConfigBinary().size();
    }
    // Cut short here, the old journal names the old snapshot and is passed
    // over at the next open.
    const QByteArray fresh = entryBytes(kBase, m_snapshotDigest);
    if (!PrivateFiles::write(journalPath(), fresh)) {
        QFile::remove(journalPath());
        m_journalBytes = 0;
        return true;
    }
    m_journalBytes = fresh.size();
    return true;
}

bool BufferedCommandsStore::appendEntry(char kind, const QByteArray &payload)
{
    if (!isOpen())
        return false;
    const QString path = journalPath();
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        qCWarning(lcRecords).noquote() << "cannot open" << path << qt_error_string(errno);
        return false;
    }
    struct stat info {};
    bool written = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
    // A journal that is not the one we read (removed meanwhile, or cut short
    // by a failed write) starts again from its base.
    if (written && info.st_size != m_journalBytes) {
        written = ::ftruncate(descriptor, 0) == 0;
        m_journalBytes = 0;
    }
    QByteArray bytes = entryBytes(kind, payload);
    const bool created = m_journalBytes == 0;
    if (created)
        bytes.prepend(entryBytes(kBase, m_snapshotDigest));
    written = written && writeAllAt(descriptor, bytes, m_journalBytes);
    if (written) {
        m_journalBytes += bytes.size();
    } else {
        qCWarning(lcRecords).noquote() << "cannot append to" << path << qt_error_string(errno);
        if (::ftruncate(descriptor, off_t(m_journalBytes)) != 0)
            qCWarning(lcRecords).noquote() << "a torn entry stays at the end of" << path;
    }
    ::close(descriptor);
    if (written) {
        if (created)
            m_sync->folderDue = true;
        syncSoon();
    }
    return written;
}

void BufferedCommandsStore::syncSoon()
{
    if (m_sync->queued.exchange(true))
        return; // the queued sync takes these bytes too
    QThreadPool::globalInstance()->start([state = m_sync, journal = journalPath(), folder = m_folder] {
        // Cleared first: an append from now on needs a sync of its own.
        state->queued = false;
        syncPath(journal, O_RDONLY | O_NOFOLLOW);
        // A journal just made is durable only once its folder names it.
        if (state->folderDue.exchange(false))
            syncPath(folder, O_RDONLY | O_DIRECTORY);
    });
}
