#include "ServerCommands.h"

#include "BufferedCommands.h"
#include "ClientLogging.h"
#include "DurableInbox.h"
#include "IOCommandsTower.h"
#include "SessionState.h"
#include "WCommonOperations.h"
#include "WPluginManager.h"
#include "WSignalsDispatcher.h"

#include <IWPlugin.h>
#include <MainServerCommands.h>
#include <ServerProtocol.h>
#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QtDebug>

namespace P = ServerProtocol;

namespace {

const QString kSectionKey = QStringLiteral("section");
const QString kVCardSection = QStringLiteral("vcard");
const QString kPluginSeparator = QStringLiteral(":::");

// Handlers that block each hold a thread: the pool grows up to this many, far
// beyond what legitimate waits need at once, and a flood of records beyond it
// waits in the pool's queue instead of exhausting the process.
constexpr int kMaxHandlerThreads = 2048;
// An idle handler thread is kept this long for the next record.
constexpr int kHandlerThreadExpiryMs = 10000;

const QString kVCardUpdate = QStringLiteral("Local::vcardupdate");

// More than the input list holds at once: a record beyond it has been pushed
// out of the list already.
constexpr int kMaxHeldRecords = 11000;
// Relayed records stored with one sync before the server deletes them.
constexpr int kFetchBatch = 64;

bool isAcceptedFromRelay(const QString &command)
{
    // Only the server may push "Local::" and "WebLocal::" records; a peer
    // relaying one could log this user out or pose as a contact asking for a
    // tunnel. The vCard notice is the one such record peers send each other.
    if (command.startsWith(QLatin1String(P::WebLocalPrefix)))
        return false;
    if (command.startsWith(QLatin1String(P::LocalPrefix)))
        return command == kVCardUpdate;
    return true;
}

} // namespace

ServerCommands::ServerCommands(IOCommandsTower *tower, WPluginManager *plugins, WSignalsDispatcher *dispatcher,
                               SessionState *session, QObject *parent)
    : QObject(parent),
      m_tower(tower),
      m_plugins(plugins),
      m_dispatcher(dispatcher),
      m_session(session)
{
    m_handlers.setMaxThreadCount(kMaxHandlerThreads);
    m_handlers.setExpiryTimeout(kHandlerThreadExpiryMs);
    m_fetchThread.setMaxThreadCount(1);
    m_fetchThread.setExpiryTimeout(-1);
    m_contactUpdates.setMaxThreadCount(1);
    m_contactUpdates.setExpiryTimeout(kHandlerThreadExpiryMs);
}

ServerCommands::~ServerCommands()
{
    // No new handler from records put from now on.
    m_tower->disconnect(this);
    m_handlers.waitForDone();
    m_contactUpdates.waitForDone();
    m_fetchThread.waitForDone();
}

void ServerCommands::setLinkAcceptance(TunnelAcceptance acceptTunnel, UdpAcceptance acceptUdp)
{
    m_acceptTunnel = std::move(acceptTunnel);
    m_acceptUdp = std::move(acceptUdp);
}

void ServerCommands::setRelayedPartReceiver(RelayedPartReceiver receiver)
{
    m_relayedPartReceiver = std::move(receiver);
}

void ServerCommands::setInbox(DurableInbox *inbox)
{
    m_inbox = inbox;
}

void ServerCommands::slotCommandReceived(const QString &id, const QString &command)
{
    // The pool reuses an idle thread or starts one more; it queues only past
    // its maximum.
    const bool contactUpdate = command == QLatin1String(P::PushUserStatusChanged) || command == kVCardUpdate;
    QThreadPool &pool = contactUpdate ? m_contactUpdates : m_handlers;
    pool.start([this, id, command] {
        try {
            handleServerCommand(id, command);
        } catch (...) {
            // A plug-in's exception must not end the program.
            qWarning().noquote() << "command handler failed:" << command;
        }
    });
}

void ServerCommands::handleServerCommand(const QString &id, const QString &command)
{
    if (command.startsWith(QLatin1String(P::LocalPrefix))) {
        const KvrConfig record = m_tower->takeInputCommand(id);
        if (!record.isEmpty())
            handleLocalCommand(record);
        return;
    }
    if (command.startsWith(QLatin1String(P::WebLocalPrefix)) || command.contains(kPluginSeparator))
        offerToPlugins(id, command);
}

void ServerCommands::holdPluginRecords()
{
    std::lock_guard<std::mutex> lock(m_holdMutex);
    m_pluginRecordsHeld = true;
    m_fetchDue = false;
    m_heldRecords.clear();
}

void ServerCommands::releasePluginRecords()
{
    QList<QPair<QString, QString>> held;
    bool fetchDue = false;
    {
        std::lock_guard<std::mutex> lock(m_holdMutex);
        m_pluginRecordsHeld = false;
        held.swap(m_heldRecords);
        std::swap(fetchDue, m_fetchDue);
    }
    // A record taken meanwhile is simply not there any more for the plug-ins.
    for (const auto &record : qAsConst(held))
        slotCommandReceived(record.first, record.second);
    if (fetchDue)
        fetchExchangeCommands();
}

bool ServerCommands::mayOfferNow(const QString &id, const QString &command)
{
    std::lock_guard<std::mutex> lock(m_holdMutex);
    if (!m_pluginRecordsHeld)
        return true;
    if (m_heldRecords.size() >= kMaxHeldRecords)
        m_heldRecords.removeFirst();
    m_heldRecords.append({id, command});
    return false;
}

void ServerCommands::offerToPlugins(const QString &id, const QString &command)
{
    if (!m_plugins)
        return;
    // The record stays in the input list meanwhile.
    if (!mayOfferNow(id, command))
        return;
    // Every plug-in hears of the record, also after one took it: each claims
    // only names with its own prefix.
    const QList<PluginRecord> plugins = m_plugins->plugins();
    for (const PluginRecord &plugin : plugins) {
        if (IWPlugin *instance = qobject_cast<IWPlugin *>(plugin.instance))
            instance->commandReceived(id, command);
    }
}

void ServerCommands::handleLocalCommand(const KvrConfig &record)
{
    const QString command = record.gv(QLatin1String(ServerProtocol::KeyCommand));
    qCDebug(lcRecords).noquote() << "command received:" << command;

    if (command == QLatin1String(P::PushExchangeMessageAvailable)) {
        fetchExchangeCommands();
    } else if (command == kVCardUpdate) {
        updateContactVCard(record);
    } else if (command == QLatin1String(P::PushUserStatusChanged)) {
        updateContactStatus(record);
    } else if (command == QLatin1String(P::PushInitTunnelConnection)) {
        if (m_acceptTunnel)
            m_acceptTunnel(record.gv(QLatin1String(P::KeyTunnelId)), record.gv(QLatin1String(P::KeySender)),
                           record.gv(QLatin1String(P::KeyServerMode)) == QLatin1String("1"));
    } else if (command == QLatin1String(P::PushInitUdpConnection)) {
        if (m_acceptUdp)
            m_acceptUdp(record.gv(QLatin1String(P::KeySender)), record.gv(QLatin1String(P::KeySessionId)));
    } else if (command == QLatin1String(P::PushLogout)) {
        if (m_dispatcher)
            m_dispatcher->requestLogout();
    }
}

void ServerCommands::fetchExchangeCommands()
{
    {
        // Nothing is fetched before the plug-ins can take it.
        std::lock_guard<std::mutex> lock(m_holdMutex);
        if (m_pluginRecordsHeld) {
            m_fetchDue = true;
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_fetchMutex);
        if (m_fetchQueued)
            return;
        m_fetchQueued = true;
    }
    m_fetchThread.start([this] { drainExchangeCommands(); });
}

void ServerCommands::drainExchangeCommands()
{
    {
        // From here on a notice queues another fetch: it may announce a
        // record this one has already passed.
        std::lock_guard<std::mutex> lock(m_fetchMutex);
        m_fetchQueued = false;
    }
    const QSharedPointer<TcpConnection> link = m_session->serverLink();
    for (;;) {
        // A run of records is stored with one sync of the inbox, and only
        // then deleted at the server.
        QList<QPair<qint64, QString>> stored; // exchange id, record ID
        bool refused = false;
        for (qint64 after = 0; stored.size() < kFetchBatch;) {
            QString sender;
            qint64 exchangeId = 0;
            const KvrConfig record = WServerCommands::peekExchangeCommand(link, after, &exchangeId, &sender);
            if (exchangeId == 0)
                break;
            // The server keeps a record this side could not store, and hands
            // it out again at the next fetch; one that does not parse is no use.
            if (!record.isEmpty()
                && putRelayedCommand(record, sender, DurableInbox::Sync::Later) == Relayed::NotStored) {
                refused = true;
                break;
            }
            stored << qMakePair(exchangeId, record.GetID());
            after = exchangeId;
        }
        if (stored.isEmpty() || (m_inbox && !m_inbox->sync()))
            return;
        for (const auto &record : qAsConst(stored)) {
            if (!WServerCommands::deleteExchangeCommand(link, record.first))
                return;
            qCDebug(lcRecords).noquote() << "relayed record deleted at the server:" << record.second;
        }
        if (refused || stored.size() < kFetchBatch)
            return;
    }
}

ServerCommands::Relayed ServerCommands::putRelayedCommand(KvrConfig record, const QString &sender,
                                                          DurableInbox::Sync sync)
{
    const QString command = record.gv(QLatin1String(ServerProtocol::KeyCommand));
    if (!isAcceptedFromRelay(command)) {
        qCDebug(lcRecords).noquote() << "relayed command dropped:" << command;
        return Relayed::Refused;
    }
    // The routing keys are this host's to set, never the sender's.
    record.RemoveKeysWithPrefix(QLatin1String(P::RoutingKeyPrefix));
    if (!sender.isEmpty())
        record.sv(QLatin1String(P::RoutingKeySender), sender.toLower());
    if (command == BufferedCommands::PartCommand) {
        // Parts are joined per sender: one the server cannot name is no use.
        if (sender.isEmpty() || !m_relayedPartReceiver)
            return Relayed::Refused;
        return m_relayedPartReceiver(record) ? Relayed::Taken : Relayed::NotStored;
    }
    if (m_inbox && command.contains(kPluginSeparator) && !m_inbox->add(record, sync))
        return Relayed::NotStored;
    m_tower->putInputCommand(record);
    return Relayed::Taken;
}

void ServerCommands::updateContactVCard(const KvrConfig &record)
{
    const QString user = record.gv(QLatin1String(P::KeyUserName));
    const QSharedPointer<WDataStructure> vcard = MainServerCommands::getUserVCard(user);
    if (!vcard)
        return;
    vcard->sv(kSectionKey, kVCardSection);

    const QSharedPointer<WDataStructure> contact = m_session->contact(user);
    if (!contact)
        return;
    contact->DeleteStructure(kVCardSection);
    contact->AddStructure(vcard);
    contact->sv(QLatin1String(P::KeyFullName), vcard->gv(QLatin1String(P::KeyFullName)));
    contact->sv(QLatin1String(P::KeyCity), vcard->gv(QLatin1String(P::KeyCity)));

    WCommonOperations::saveAccount(true);
    if (m_dispatcher)
        m_dispatcher->contactEdited(user);
}

void ServerCommands::updateContactStatus(const KvrConfig &record)
{
    const QString user = record.gv(QLatin1String(P::KeyUserName));
    const QSharedPointer<WDataStructure> contact = m_session->contact(user);
    if (!contact)
        return;
    contact->sv(QLatin1String(P::KeyStatus), record.gv(QLatin1String(P::KeyStatus)));
    if (m_dispatcher)
        m_dispatcher->contactEdited(user);
}
