#include "BufferedCommands.h"

#include "BufferedCommandsFile.h"
#include "ClientLogging.h"
#include "SessionState.h"

#include <ServerProtocol.h>
#include <ThreadUtilities.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QtConcurrent>
#include <QtDebug>

#include <algorithm>

const QString BufferedCommands::FileName = QStringLiteral("bufferedcommands.bff");
const QString BufferedCommands::PartCommand = QStringLiteral("User::bufferedCommand");

namespace {

const QString kCommand = QStringLiteral("command");
const QString kCommandId = QStringLiteral("commandid");
const QString kPart = QStringLiteral("part");
const QString kTotalSize = QStringLiteral("totalsize");
const QString kData = QStringLiteral("data");
const QString kResponse = QStringLiteral("response");
const QString kSender = QLatin1String(ServerProtocol::RoutingKeySender);
const QString kConnectionId = QLatin1String(ServerProtocol::RoutingKeyConnectionId);

constexpr int kMaxLastPart = BufferedCommands::MaxRecordSize / BufferedCommands::PartSize - 1;

// The number of the last part of a record's binary form.
int lastPartOf(const QByteArray &form)
{
    return form.isEmpty() ? 0 : (form.size() - 1) / BufferedCommands::PartSize;
}

// Part `part` of the record with that "ID" and binary form, under an "ID" of
// its own.
KvrConfig partOf(const QString &commandId, const QByteArray &form, int part, int lastPart)
{
    KvrConfig partRecord;
    partRecord.SetID();
    partRecord.sv(kCommand, BufferedCommands::PartCommand);
    partRecord.sv(kCommandId, commandId);
    partRecord.SetValue(kPart, QString::number(part));
    partRecord.SetValue(kTotalSize, QString::number(lastPart));
    partRecord.SetValue(kData, form.mid(part * BufferedCommands::PartSize, BufferedCommands::PartSize));
    return partRecord;
}

// Part `part` of parts 0..lastPart; a record of one part is whole at once.
int percentOf(int part, int lastPart)
{
    return lastPart == 0 ? 100 : part * 100 / lastPart;
}

// The most a record of parts 0..lastPart may hold.
qint64 declaredBytes(int lastPart)
{
    return qint64(lastPart + 1) * BufferedCommands::PartSize;
}

// A non-negative decimal number, or -1.
int partNumber(const KvrConfig &record, const QString &key)
{
    bool ok = false;
    const int number = record.gv(key).toInt(&ok);
    return ok && number >= 0 ? number : -1;
}

// What a peer may hand to the plug-ins this way: plug-in commands, never the
// main server's own names.
bool isDeliverable(const QString &command)
{
    return command.contains(QLatin1String(":::"))
        && !command.startsWith(QLatin1String(ServerProtocol::LocalPrefix))
        && !command.startsWith(QLatin1String(ServerProtocol::WebLocalPrefix));
}

} // namespace

BufferedCommands::BufferedCommands(SessionState *session, Roads roads, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_roads(std::move(roads))
{
}

BufferedCommands::~BufferedCommands()
{
    stop();
    QList<QFuture<void>> running;
    {
        QMutexLocker lock(&m_mutex);
        for (const Sender &sender : qAsConst(m_senders))
            running << sender.future;
    }
    for (QFuture<void> &future : running)
        future.waitForFinished();
}

void BufferedCommands::setAckTimeoutMs(int ms)
{
    m_ackTimeoutMs = qMax(ms, 10); // never a busy retry loop
}

QString BufferedCommands::filePath(const QString &owner)
{
    return SessionState::userFolder(owner) + QLatin1Char('/') + FileName;
}

QString BufferedCommands::journalPath(const QString &owner)
{
    return SessionState::userFolder(owner) + QLatin1Char('/') + BufferedCommandsStore::JournalName;
}

QList<KvrConfig> BufferedCommands::pendingCommands(const QString &user) const
{
    QMutexLocker lock(&m_mutex);
    return m_queues.value(user);
}

// ------------------------------------------------------------------ the store

bool BufferedCommands::addBufferedCommand(const QString &user, const KvrConfig &record)
{
    const QString owner = m_session->userName();
    if (owner.isEmpty() || user.isEmpty()) {
        qCDebug(lcRecords).noquote() << "buffered command dropped: no session or no receiver";
        return false;
    }
    // No peer takes a larger one, and it would hold up every later record.
    if (record.SerializeConfigBinary().size() > MaxRecordSize) {
        qCDebug(lcRecords).noquote() << "buffered command dropped: larger than" << MaxRecordSize << "bytes";
        return false;
    }
    QMutexLocker lock(&m_mutex);
    // A plug-in may buffer while it starts, before the login loads the file:
    // load it now so that what waits there is neither lost nor overtaken.
    if (m_owner != owner)
        loadLocked(owner);
    m_queues[user].append(record);
    const bool stored = storeReadyLocked() && m_store.recordAdded(user, record);
    if (!stored)
        qCDebug(lcRecords).noquote() << "buffered command not stored for" << m_owner;
    startSenderLocked(user);
    return stored;
}

bool BufferedCommands::saveBufferedCommands()
{
    QMutexLocker lock(&m_mutex);
    return saveLocked();
}

void BufferedCommands::loadBufferedCommands()
{
    const QString owner = m_session->userName();
    QMutexLocker lock(&m_mutex);
    if (owner.isEmpty())
        return;
    if (m_owner != owner) {
        loadLocked(owner);
        return;
    }
    // Already loaded by an add of this session: the queues are the newer.
    for (auto it = m_queues.cbegin(); it != m_queues.cend(); ++it) {
        if (!it.value().isEmpty())
            startSenderLocked(it.key());
    }
}

void BufferedCommands::stop()
{
    {
        QMutexLocker lock(&m_mutex);
        ++m_generation;
        m_owner.clear();
        m_queues.clear();
        m_store.close();
    }
    {
        // Ends every acknowledgement wait now rather than at its time-out.
        QMutexLocker lock(&m_ackMutex);
        m_ackArrived.wakeAll();
    }
    QMutexLocker lock(&m_reassemblyMutex);
    m_reassembly.clear();
}

void BufferedCommands::loadLocked(const QString &owner)
{
    ++m_generation;
    m_owner = owner;
    m_store.close();
    m_queues = m_store.open(SessionState::userFolder(owner));
    for (auto it = m_queues.cbegin(); it != m_queues.cend(); ++it) {
        if (!it.value().isEmpty())
            startSenderLocked(it.key());
    }
}

bool BufferedCommands::saveLocked()
{
    if (!storeReadyLocked() || !m_store.compact(m_queues)) {
        qCDebug(lcRecords).noquote() << "buffered commands not saved for" << m_owner;
        return false;
    }
    return true;
}

bool BufferedCommands::storeReadyLocked()
{
    return !m_owner.isEmpty() && m_store.isOpen() && !SessionState::ensureUserFolder(m_owner).isEmpty();
}

void BufferedCommands::startSenderLocked(const QString &user)
{
    Sender &sender = m_senders[user];
    if (sender.active && sender.generation == m_generation)
        return;
    // A sender of an earlier generation may still be finishing its step; the
    // new one waits for it, so one user's records never go out twice at once.
    QFuture<void> previous = sender.future;
    const quint64 generation = m_generation;
    sender.generation = generation;
    sender.active = true;
    ensureThreadPoolCapacity();
    sender.future = QtConcurrent::run([this, user, generation, previous]() mutable {
        previous.waitForFinished();
        sendBufferedCommands(user, generation);
    });
}

// ------------------------------------------------------------------ sending

void BufferedCommands::sendBufferedCommands(const QString &user, quint64 generation)
{
    for (;;) {
        KvrConfig head;
        {
            QMutexLocker lock(&m_mutex);
            if (m_generation != generation)
                break;
            const auto queue = m_queues.constFind(user);
            if (queue == m_queues.cend() || queue->isEmpty()) {
                m_senders[user].active = false;
                break;
            }
            head = queue->first();
        }

        const bool delivered = sendInParts(user, head, generation) || relay(user, head, generation);
        {
            QMutexLocker lock(&m_mutex);
            if (m_generation != generation)
                break;
            // Only this sender removes from this queue and adds only append,
            // so the head is still the record just sent.
            if (delivered) {
                m_queues[user].removeFirst();
                if (m_queues[user].isEmpty())
                    m_queues.remove(user);
                if (storeReadyLocked())
                    m_store.recordDelivered(user, head, m_queues);
            }
        }
        reportProgress(Direction::Send, user, -1);
    }
    reportProgress(Direction::Send, user, -1);
}

bool BufferedCommands::sendInParts(const QString &user, const KvrConfig &record, quint64 generation)
{
    const QByteArray form = record.SerializeConfigBinary();
    const int lastPart = lastPartOf(form);

    if (m_roads.hasPeerLink && !m_roads.hasPeerLink(user) && m_roads.openPeerLink)
        m_roads.openPeerLink(user);

    for (int part = 0; part <= lastPart; ++part) {
        if (m_generation != generation)
            return false;
        reportProgress(Direction::Send, user, percentOf(part, lastPart));

        const KvrConfig partRecord = partOf(record.GetID(), form, part, lastPart);
        const QString partId = partRecord.GetID();
        {
            // Registered before sending: the answer may come back at once.
            QMutexLocker lock(&m_ackMutex);
            m_pendingAcks.insert(partId, PendingAck{user, false});
        }
        if (m_roads.send)
            m_roads.send(partRecord, user, QString());
        qCDebug(lcRecords).nospace().noquote() << "command sended User::bufferedCommand id: " << partId;

        const bool acknowledged = waitForPartAck(partId, generation);
        qCDebug(lcRecords).nospace().noquote() << "response table for id " << partId << " result "
                                               << (acknowledged ? "true" : "false");
        if (!acknowledged)
            return false;
    }
    return true;
}

bool BufferedCommands::waitForPartAck(const QString &partId, quint64 generation)
{
    const QDeadlineTimer deadline(m_ackTimeoutMs.load(), Qt::PreciseTimer);
    QMutexLocker lock(&m_ackMutex);
    for (;;) {
        const bool acknowledged = m_pendingAcks.value(partId).acknowledged;
        // stop() changes the generation before it wakes the waiters.
        if (acknowledged || m_generation != generation || deadline.hasExpired()) {
            m_pendingAcks.remove(partId);
            return acknowledged;
        }
        m_ackArrived.wait(&m_ackMutex, deadline);
    }
}

bool BufferedCommands::relay(const QString &user, const KvrConfig &record, quint64 generation)
{
    QString owner;
    {
        QMutexLocker lock(&m_mutex);
        if (m_generation != generation)
            return false;
        owner = m_owner;
    }
    // Relayed as the user whose file holds the record, never as another.
    const QSharedPointer<WivoraAccount> account = m_session->account();
    if (SessionState::canonicalUserName(account->getUserName()) != owner)
        return false;
    const QByteArray form = record.SerializeConfigBinary();
    bool relayed = true;
    if (form.size() <= WServerCommands::MaxExchangeRecordSize) {
        relayed = relayOne(user, record, account);
    } else {
        // No relay request carries it whole: the parts go one by one, and
        // the receiver joins them as it joins parts from a link.
        const int lastPart = lastPartOf(form);
        for (int part = 0; relayed && part <= lastPart; ++part) {
            if (m_generation != generation)
                return false;
            reportProgress(Direction::Send, user, percentOf(part, lastPart));
            relayed = relayOne(user, partOf(record.GetID(), form, part, lastPart), account);
        }
    }
    qCDebug(lcRecords).nospace().noquote() << "buffered command relayed to " << user << ": "
                                           << (relayed ? "true" : "false");
    return relayed;
}

bool BufferedCommands::relayOne(const QString &user, const KvrConfig &record,
                                const QSharedPointer<WivoraAccount> &account)
{
    return m_roads.relay ? m_roads.relay(user, record, account)
                         : WServerCommands::sendExchangeCommand(user, record, account);
}

// ------------------------------------------------------------------ receiving

void BufferedCommands::receiveBufferedPart(const KvrConfig &record)
{
    if (record.CheckKeyExist(kResponse))
        receiveAcknowledgement(record);
    else
        receivePart(record, false);
}

bool BufferedCommands::receiveRelayedPart(const KvrConfig &record)
{
    // An acknowledgement means nothing without the link its part went on.
    return record.CheckKeyExist(kResponse) || receivePart(record, true);
}

void BufferedCommands::receiveAcknowledgement(const KvrConfig &record)
{
    const QString sender = SessionState::canonicalUserName(record.gv(kSender));
    QMutexLocker lock(&m_ackMutex);
    const auto pending = m_pendingAcks.find(record.GetID());
    // Only the user the part went to can acknowledge it.
    if (pending == m_pendingAcks.end() || sender.isEmpty()
        || SessionState::canonicalUserName(pending->user) != sender)
        return;
    pending->acknowledged = true;
    m_ackArrived.wakeAll();
}

bool BufferedCommands::receivePart(const KvrConfig &record, bool relayed)
{
    const QString sender = record.gv(kSender);
    const QString senderKey = SessionState::canonicalUserName(sender);
    const QString commandId = record.gv(kCommandId);
    const int part = partNumber(record, kPart);
    const int lastPart = partNumber(record, kTotalSize);
    const QByteArray data = record.GetValue(kData);
    if (senderKey.isEmpty() || part < 0 || lastPart < 0 || part > lastPart || lastPart > kMaxLastPart
        || data.isEmpty() || data.size() > PartSize) {
        qCDebug(lcRecords).noquote() << "buffered part refused from" << sender;
        return true;
    }

    KvrConfig whole;
    {
        QMutexLocker lock(&m_reassemblyMutex);
        QList<Reassembly> &records = m_reassembly[senderKey];
        auto entry = std::find_if(records.begin(), records.end(), [&](const Reassembly &r) {
            return r.commandId == commandId && r.relayed == relayed;
        });
        if (part == 0) {
            // A record starts (again) at its first part: leftovers of an
            // abandoned attempt are dropped.
            if (entry != records.end())
                records.erase(entry);
            const auto declaredByAll = [&records] {
                qint64 sum = 0;
                for (const Reassembly &r : records)
                    sum += declaredBytes(r.lastPart);
                return sum;
            };
            // The oldest unfinished records of this sender make room.
            while (!records.isEmpty()
                   && (records.size() >= MaxReassembliesPerSender
                       || declaredByAll() + declaredBytes(lastPart) > MaxRecordSize))
                records.removeFirst();
            records.append(Reassembly{commandId, relayed, lastPart, 0, QByteArray()});
            entry = records.end() - 1;
        }
        if (entry == records.end() || entry->nextPart != part || entry->lastPart != lastPart) {
            if (entry != records.end())
                records.erase(entry);
            if (records.isEmpty())
                m_reassembly.remove(senderKey);
            qCDebug(lcRecords).noquote() << "buffered part out of order from" << sender << "discarded";
            return true;
        }
        entry->bytes.append(data);
        ++entry->nextPart;
        if (part == lastPart) {
            const bool sound = whole.DeserializeConfigBinary(entry->bytes);
            records.erase(entry);
            if (records.isEmpty())
                m_reassembly.remove(senderKey);
            // Unacknowledged, the sender relays the record instead.
            if (!sound || !isDeliverable(whole.gv(kCommand))) {
                qCDebug(lcRecords).noquote() << "buffered command from" << sender << "refused";
                return true;
            }
        }
    }

    reportProgress(Direction::Receive, sender, percentOf(part, lastPart));
    if (part == lastPart) {
        reportProgress(Direction::Receive, sender, -1);
        // The routing keys are this host's to set, never the sender's.
        whole.RemoveKeysWithPrefix(QLatin1String(ServerProtocol::RoutingKeyPrefix));
        whole.sv(kSender, sender);
        // Unacknowledged, the sender tries again later.
        if (m_roads.deliver && !m_roads.deliver(whole)) {
            qCDebug(lcRecords).noquote() << "buffered command from" << sender << "not stored";
            return false;
        }
    }
    // The last acknowledgement makes the sender forget the record: it goes
    // only once the record was stored, so a receiver that ends before that
    // gets it again.
    if (!relayed && m_roads.send) {
        KvrConfig acknowledgement;
        acknowledgement.sv(QStringLiteral("ID"), record.GetID());
        acknowledgement.sv(kResponse, QStringLiteral("ok"));
        acknowledgement.sv(kCommand, PartCommand);
        m_roads.send(acknowledgement, sender, record.gv(kConnectionId));
    }
    return true;
}

void BufferedCommands::reportProgress(Direction direction, const QString &user, int percent) const
{
    if (m_roads.progress)
        m_roads.progress(direction, user, percent);
}
