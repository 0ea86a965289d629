#include "DurableInbox.h"

#include "ClientLogging.h"

#include <PrivateFiles.h>
#include <WholeWrites.h>
#include <ServerProtocol.h>

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QMutexLocker>
#include <QtDebug>
#include <QtEndian>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QString DurableInbox::FileName = QStringLiteral("inbox.wib");

namespace {

constexpr char kInboxRecord = 'R';
constexpr char kInboxTaken = 'T';
constexpr int kInboxHeaderBytes = 5;
// Room is allocated ahead in steps of this many bytes: an append inside it
// leaves the file's size alone, so its sync writes only its data.
constexpr qint64 kInboxRoomBytes = 1024 * 1024;

QByteArray inboxEntry(char kind, const QByteArray &payload)
{
    QByteArray entry(kInboxHeaderBytes, Qt::Uninitialized);
    entry[0] = kind;
    qToBigEndian<quint32>(quint32(payload.size()), entry.data() + 1);
    return entry + payload;
}

// The file's bytes, never through a symbolic link; empty when absent.
QByteArray readInboxFile(const QString &path)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return QByteArray();
    QFile file;
    struct stat info;
    if (::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode)
        && file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        // No more than the inbox ever writes, however large the file is;
        // asked for no more than there is, since a read reserves what it asks.
        return file.read(qMin<qint64>(info.st_size, DurableInbox::MaxFileBytes + kInboxRoomBytes));
    }
    ::close(descriptor);
    return QByteArray();
}

bool syncInboxFolder(const QString &folder)
{
    const int descriptor = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    const bool synced = ::fsync(descriptor) == 0;
    ::close(descriptor);
    return synced;
}

QString inboxSenderOf(const KvrConfig &record)
{
    return record.gv(QLatin1String(ServerProtocol::RoutingKeySender)).toLower();
}

// The records still waiting in bytes, in the order they came; intact is
// false when anything after them was damaged.
QList<KvrConfig> parseInboxBytes(const QByteArray &bytes, bool *intact)
{
    QList<KvrConfig> records;
    qint64 held = 0;
    int pos = 0;
    *intact = true;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < kInboxHeaderBytes) {
            *intact = bytes.mid(pos).count('\0') == bytes.size() - pos;
            break;
        }
        const char kind = bytes.at(pos);
        const quint32 length = qFromBigEndian<quint32>(bytes.constData() + pos + 1);
        if (kind == 0 && length == 0)
            break; // the room allocated ahead: nothing was written from here
        if ((kind != kInboxRecord && kind != kInboxTaken) || length == 0 || length > DurableInbox::MaxEntryBytes
            || length > quint32(bytes.size() - pos - kInboxHeaderBytes)) {
            *intact = false;
            break;
        }
        const QByteArray payload = bytes.mid(pos + kInboxHeaderBytes, int(length));
        pos += kInboxHeaderBytes + int(length);
        if (kind == kInboxTaken) {
            const QString id = QString::fromUtf8(payload);
            for (int i = 0; i < records.size(); ++i) {
                if (records.at(i).GetID() == id) {
                    held -= records.at(i).SerializeConfigBinary().size();
                    records.removeAt(i);
                    break;
                }
            }
            continue;
        }
        KvrConfig record;
        if (!record.DeserializeConfigBinary(payload) || record.GetID().isEmpty()) {
            *intact = false; // its length was sound: go on with the next
            continue;
        }
        if (records.size() >= DurableInbox::MaxRecords || held + payload.size() > DurableInbox::MaxBytes) {
            *intact = false;
            break;
        }
        held += payload.size();
        records.append(record);
    }
    return records;
}

} // namespace

QList<KvrConfig> DurableInbox::open(const QString &folder)
{
    QMutexLocker lock(&m_mutex);
    {
        QMutexLocker left(&m_leftMutex);
        m_left.clear();
    }
    m_folder = folder;
    m_entries.clear();
    m_bytes = 0;
    m_fileBytes = 0;
    m_appended = m_durable = 0;
    m_folderSyncDue = false;
    const QString path = pathLocked();
    const QFileInfo info(path);
    if (info.isSymLink()) {
        // Not ours to follow: the link goes, what it points at stays.
        qCWarning(lcRecords).noquote() << "a link stood in place of the inbox; removed:" << path;
        QFile::remove(path);
    }
    bool intact = true;
    const QList<KvrConfig> records = parseInboxBytes(readInboxFile(path), &intact);
    if (!intact)
        qCWarning(lcRecords).noquote() << "damaged inbox, kept what was intact:" << path;
    for (const KvrConfig &record : records) {
        const qint64 bytes = record.SerializeConfigBinary().size();
        m_entries.append(Entry{record.GetID(), inboxSenderOf(record), bytes});
        m_bytes += bytes;
    }
    // Appends go after sound entries only, and taken ones are not kept.
    if (QFileInfo::exists(path))
        rewriteLocked(records);
    return records;
}

DurableInbox::~DurableInbox()
{
    close();
}

void DurableInbox::close()
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_folder.isEmpty())
            takeLeftLocked(); // their marks, so the next run does not offer them again
        m_folder.clear();
        m_entries.clear();
        m_bytes = 0;
        m_appended = m_durable = 0;
        m_folderSyncDue = false;
        m_syncEnded.wakeAll();
    }
    QMutexLocker left(&m_leftMutex);
    m_left.clear();
}

bool DurableInbox::add(const KvrConfig &record, Sync sync)
{
    const QString id = record.GetID();
    const QByteArray form = record.SerializeConfigBinary();
    bool added = false;
    {
        QMutexLocker lock(&m_mutex);
        takeLeftLocked();
        if (m_folder.isEmpty() || id.isEmpty())
            return false;
        for (const Entry &entry : qAsConst(m_entries)) {
            if (entry.id == id) {
                added = true;
                break;
            }
        }
        if (!added) {
            if (form.size() > MaxEntryBytes) {
                qCWarning(lcRecords).noquote() << "record" << id << "larger than the inbox takes: left at its source";
                return false;
            }
            while (!m_entries.isEmpty() && (m_entries.size() >= MaxRecords || m_bytes + form.size() > MaxBytes))
                dropFromLargestHolderLocked();
            compactWhenDueLocked();
            if (!appendLocked(kInboxRecord, form)) {
                qCWarning(lcRecords).noquote() << "inbox not written: record" << id << "left at its source";
                return false;
            }
            m_entries.append(Entry{id, inboxSenderOf(record), form.size()});
            m_bytes += form.size();
            ++m_appended;
            compactWhenDueLocked();
        }
    }
    return sync == Sync::Later || this->sync();
}

bool DurableInbox::sync()
{
    QMutexLocker lock(&m_mutex);
    const quint64 wanted = m_appended;
    for (;;) {
        if (m_folder.isEmpty())
            return false;
        if (m_durable >= wanted)
            return true;
        if (!m_syncing)
            break;
        // The sync under way may cover what this caller wrote.
        m_syncEnded.wait(&m_mutex);
    }
    m_syncing = true;
    const quint64 covered = m_appended;
    const bool folderDue = m_folderSyncDue;
    m_folderSyncDue = false;
    const QString folder = m_folder;
    const QString path = pathLocked();
    lock.unlock();

    bool synced = false;
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor >= 0) {
        synced = ::fdatasync(descriptor) == 0;
        ::close(descriptor);
    }
    synced = synced && (!folderDue || syncInboxFolder(folder));

    lock.relock();
    m_syncing = false;
    if (synced && m_folder == folder)
        m_durable = qMax(m_durable, covered);
    else if (!synced)
        m_folderSyncDue = m_folderSyncDue || folderDue;
    m_syncEnded.wakeAll();
    return synced;
}

void DurableInbox::remove(const QString &id)
{
    QMutexLocker left(&m_leftMutex);
    m_left.append(id);
}

void DurableInbox::takeLeftLocked()
{
    QStringList ids;
    {
        QMutexLocker left(&m_leftMutex);
        ids.swap(m_left);
    }
    for (const QString &id : qAsConst(ids)) {
        for (int i = 0; i < m_entries.size(); ++i) {
            if (m_entries.at(i).id == id) {
                takeLocked(i);
                break;
            }
        }
    }
}

void DurableInbox::takeLocked(int index)
{
    const QString id = m_entries.at(index).id;
    m_bytes -= m_entries.at(index).bytes;
    m_entries.removeAt(index);
    // No sync: should the mark be lost, the record is offered once more and
    // its plug-in knows it by its "ID". The file is emptied or compacted by
    // the next add, off the thread that takes.
    if (!m_folder.isEmpty())
        appendLocked(kInboxTaken, id.toUtf8());
}

void DurableInbox::dropFromLargestHolderLocked()
{
    QHash<QString, qint64> held;
    for (const Entry &entry : qAsConst(m_entries))
        held[entry.sender] += entry.bytes;
    QString largest;
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        if (largest.isNull() || it.value() > held.value(largest))
            largest = it.key();
    }
    for (int i = 0; i < m_entries.size(); ++i) {
        if (m_entries.at(i).sender == largest) {
            qCWarning(lcRecords).noquote() << "inbox full: dropped record" << m_entries.at(i).id << "of" << largest;
            takeLocked(i);
            return;
        }
    }
}

int DurableInbox::count() const
{
    QMutexLocker lock(&m_mutex);
    QMutexLocker left(&m_leftMutex);
    int waiting = 0;
    for (const Entry &entry : qAsConst(m_entries))
        waiting += !m_left.contains(entry.id);
    return waiting;
}

QString DurableInbox::pathLocked() const
{
    return m_folder + QLatin1Char('/') + FileName;
}

bool DurableInbox::appendLocked(char kind, const QByteArray &payload)
{
    const QString path = pathLocked();
    const QByteArray name = QFile::encodeName(path);
    constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
    int descriptor = ::open(name.constData(), kFlags);
    const bool created = descriptor < 0 && errno == ENOENT;
    if (created)
        descriptor = ::open(name.constData(), kFlags | O_CREAT | O_EXCL, 0600);
    if (descriptor < 0)
        return false;
    struct stat info;
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        return false;
    }
    // Cut behind our back: appended to as it stands.
    if (info.st_size < m_fileBytes)
        m_fileBytes = info.st_size;
    const QByteArray entry = inboxEntry(kind, payload);
    const qint64 end = m_fileBytes + entry.size();
    // The room keeps a zero header after the last entry, which ends a read.
    if (end + kInboxHeaderBytes > info.st_size) {
        const qint64 size = ((end + kInboxHeaderBytes) / kInboxRoomBytes + 1) * kInboxRoomBytes;
        // Without room (a file system that has none to give) the appends
        // grow the file as they go.
        if (::fallocate(descriptor, 0, off_t(info.st_size), off_t(size - info.st_size)) != 0)
            qCDebug(lcRecords).noquote() << "no room allocated ahead for the inbox:" << qt_error_string(errno);
    }
    const bool written = writeAllAt(descriptor, entry, m_fileBytes);
    // A torn entry would hide every later one from the next read.
    if (!written && !writeAllAt(descriptor, QByteArray(entry.size(), '\0'), m_fileBytes))
        qCWarning(lcRecords).noquote() << "inbox left with a torn entry:" << path;
    ::close(descriptor);
    if (written) {
        m_fileBytes = end;
        // A new file is durable only once its folder names it.
        m_folderSyncDue = m_folderSyncDue || created;
    }
    return written;
}

bool DurableInbox::rewriteLocked(const QList<KvrConfig> &records)
{
    const QString path = pathLocked();
    m_fileBytes = 0;
    if (records.isEmpty())
        return QFile::remove(path);
    QByteArray bytes;
    for (const KvrConfig &record : records)
        bytes += inboxEntry(kInboxRecord, record.SerializeConfigBinary());
    if (!PrivateFiles::write(path, bytes))
        return false;
    m_fileBytes = bytes.size();
    return true;
}

void DurableInbox::compactWhenDueLocked()
{
    if (m_fileBytes <= 2 * m_bytes + CompactionSlack)
        return;
    if (m_entries.isEmpty()) {
        // Emptied rather than removed: the next record then needs no sync
        // of the folder. Only now and then: the room allocated ahead is
        // given back, and the next append's sync has its size to write.
        const int descriptor = ::open(QFile::encodeName(pathLocked()).constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor >= 0) {
            if (::ftruncate(descriptor, 0) == 0)
                m_fileBytes = 0;
            ::close(descriptor);
        }
        return;
    }
    // Copied entry by entry: however full the inbox, no more than one record
    // is in memory at a time.
    const int descriptor = ::open(QFile::encodeName(pathLocked()).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return;
    QFile source;
    if (!source.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return;
    }
    QSet<QString> waiting;
    for (const Entry &entry : qAsConst(m_entries))
        waiting.insert(entry.id);
    qint64 written = 0;
    const bool compacted = PrivateFiles::write(pathLocked(), [&](QIODevice &target) {
        while (source.pos() < m_fileBytes) {
            const QByteArray header = source.read(kInboxHeaderBytes);
            if (header.size() != kInboxHeaderBytes)
                return false;
            const quint32 length = qFromBigEndian<quint32>(header.constData() + 1);
            if (length > MaxEntryBytes || length > quint64(source.bytesAvailable()))
                return false;
            const QByteArray payload = source.read(length);
            if (payload.size() != int(length))
                return false;
            KvrConfig record;
            // Only what this inbox wrote itself is rewritten: anything else
            // keeps the file as it is.
            if (header.at(0) == kInboxTaken)
                continue;
            if (header.at(0) != kInboxRecord || !record.DeserializeConfigBinary(payload))
                return false;
            if (!waiting.remove(record.GetID()))
                continue;
            if (target.write(header) != header.size() || target.write(payload) != payload.size())
                return false;
            written += header.size() + payload.size();
        }
        return waiting.isEmpty();
    });
    if (compacted) {
        // Written whole and synced: every record waiting is durable.
        m_fileBytes = written;
        m_durable = m_appended;
    }
}
