#include "ExchangeMessageQueue.h"

#include "SessionState.h"

#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QMutexLocker>

const QString ExchangeMessageQueue::ReceiverKey = QStringLiteral("exchangecommandreceiver");

ExchangeMessageQueue::ExchangeMessageQueue(SessionState *session, QObject *parent)
    : CheckingThread(parent)
    , m_session(session)
    , m_sender(&WServerCommands::sendExchangeCommand)
{
}

ExchangeMessageQueue::~ExchangeMessageQueue()
{
    finish();
}

void ExchangeMessageQueue::setSender(Sender sender)
{
    m_sender = std::move(sender);
}

bool ExchangeMessageQueue::enqueueExchangeCommand(const QString &user, KvrConfig record)
{
    const QString owner = m_session ? m_session->userName() : QString();
    if (owner.isEmpty() || user.isEmpty())
        return false;
    // The server could never take it: it would come round again for ever.
    if (record.SerializeConfigBinary().size() > WServerCommands::MaxExchangeRecordSize)
        return false;
    record.sv(ReceiverKey, user);
    QMutexLocker lock(&m_mutex);
    m_queue.append({owner, record});
    return true;
}

int ExchangeMessageQueue::count() const
{
    QMutexLocker lock(&m_mutex);
    return m_queue.size();
}

void ExchangeMessageQueue::runLoop()
{
    while (!stopRequested()) {
        // Records queued during a clean round go out at once; anything left
        // over waits one step.
        const bool drainAgain = isChecking() && relayRound() && count() > 0;
        if (!drainAgain)
            pause(stepMs());
    }
}

bool ExchangeMessageQueue::relayRound()
{
    bool allSent = true;
    for (int remaining = count(); remaining > 0 && !stopRequested(); --remaining) {
        Entry head;
        {
            QMutexLocker lock(&m_mutex);
            if (m_queue.isEmpty())
                break;
            head = m_queue.first(); // stays queued while it is sent
        }
        const bool sent = sendHead(head);
        QMutexLocker lock(&m_mutex);
        // Only this loop removes entries, so the head is still the one sent.
        Entry done = m_queue.takeFirst();
        if (!sent) {
            m_queue.append(std::move(done));
            allSent = false;
        }
    }
    return allSent;
}

bool ExchangeMessageQueue::sendHead(const Entry &entry)
{
    if (!m_session)
        return false;
    // One snapshot of the account: the owner check and the send use the same.
    const QSharedPointer<WivoraAccount> account = m_session->account();
    if (SessionState::canonicalUserName(account->getUserName()) != entry.owner)
        return false; // another user's session: it waits for its owner
    KvrConfig record = entry.record;
    const QString receiver = record.gv(ReceiverKey);
    record.RemoveKey(ReceiverKey);
    return m_sender(receiver, record, account);
}
