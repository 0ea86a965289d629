#pragma once

#include "CheckingThread.h"

#include <KvrConfig.h>

#include <QList>
#include <QMutex>
#include <QSharedPointer>
#include <QString>

#include <functional>

class SessionState;
class WivoraAccount;

// Relays records through the main server to users that cannot be reached
// directly, one by one in the order they were queued.
//
// Each record belongs to the user who was logged in when it was queued and is
// sent only while that user is logged in: records of another user wait for
// that user's next session. A record the server does not take goes to the
// back of the queue and is tried again after the others; after a round in
// which anything was left over, the loop pauses for one step, so a server that
// is down is not hammered.
class ExchangeMessageQueue : public CheckingThread
{
    Q_OBJECT

public:
    // The key that names the receiver of a queued record. It never leaves the
    // program.
    static const QString ReceiverKey;

    // Hands one record to the server; true when the server took it.
    using Sender = std::function<bool(const QString &receiver, const KvrConfig &record,
                                      const QSharedPointer<WivoraAccount> &account)>;

    explicit ExchangeMessageQueue(SessionState *session, QObject *parent = nullptr);
    ~ExchangeMessageQueue() override;

    // Queues record for user on behalf of the logged-in user. False (nothing
    // queued) when nobody is logged in, user is empty, or the record is larger
    // than one relay request carries.
    bool enqueueExchangeCommand(const QString &user, KvrConfig record);

    // Records waiting to be sent, of every user.
    int count() const;

    // The road to the server; WServerCommands::sendExchangeCommand unless
    // replaced (before start()).
    void setSender(Sender sender);

protected:
    void runLoop() override;

private:
    struct Entry
    {
        QString owner; // the canonical user name of the session that queued it
        KvrConfig record;
    };

    // Offers each record queued at the start of the round once. True when
    // every one of them was sent.
    bool relayRound();
    bool sendHead(const Entry &entry);

    SessionState *const m_session;
    Sender m_sender;

    mutable QMutex m_mutex; // the list only; never held while sending
    QList<Entry> m_queue;
};
