#pragma once

#include "DurableInbox.h"

#include <KvrConfig.h>

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QThreadPool>

#include <functional>
#include <mutex>

class IOCommandsTower;
class SessionState;
class WPluginManager;
class WSignalsDispatcher;

// Decides what happens to every record put into the input list:
// - "Local::..." records are the main server's pushes and are carried out
//   here (relay fetch, a contact's vCard or status, tunnel and UDP link
//   requests, logout); any other "Local::" name is dropped;
// - "WebLocal::..." records and names containing ":::" are offered to every
//   plug-in in load order, and stay in the list until one takes them;
// - anything else is left in the list.
//
// Records fetched from the relay come from other users, not from the server:
// only the vCard notice may carry a "Local::" name, no "WebLocal::" name is
// accepted, and the hosts' routing keys ("Wivora::...") are removed before
// they enter the input list. "Wivora::sender" is then set to the sender the
// server names, so a plug-in judges a relayed record as it judges one that
// came over a direct link; it gets no "Wivora::connection": there is no link
// to reply on. Relayed parts of a buffered record ("User::bufferedCommand")
// go to the buffered-command store instead, which joins them.
//
// Until the plug-ins are started (releasePluginRecords), records for them wait
// in the input list and are offered once the plug-ins can take them; the
// relay is not fetched either: a notice meanwhile only marks a fetch as due,
// which runs on the release. A relayed record for the plug-ins is written to
// the inbox before the server is told to delete its copy, so a client that
// ends before a plug-in took it finds it there at its next login.
//
// Records are handled on a pool of reusable threads, concurrently and in no
// particular order. A plug-in may block in commandReceived (a question to the
// user, a wait for a reply from the same peer): the pool then starts another
// thread for the next record, so one blocked handler holds up no other.
class ServerCommands : public QObject
{
    Q_OBJECT

public:
    // Asks the link manager to join the tunnel a peer opened; serverMode when
    // the peer opened it as a server-mode link.
    using TunnelAcceptance = std::function<void(const QString &tunnelId, const QString &sender, bool serverMode)>;
    // Asks the link manager to accept the UDP link a peer asked for.
    using UdpAcceptance = std::function<void(const QString &sender, const QString &sessionId)>;

    // The collaborators must outlive this object; plugins and dispatcher may
    // be null (no plug-ins, no events).
    ServerCommands(IOCommandsTower *tower, WPluginManager *plugins, WSignalsDispatcher *dispatcher,
                   SessionState *session, QObject *parent = nullptr);
    // Waits for the handlers still running: they use the collaborators.
    ~ServerCommands() override;

    // Takes a relayed part of a buffered record; false when the part must
    // stay on the server (its record could not be stored).
    using RelayedPartReceiver = std::function<bool(const KvrConfig &part)>;

    // What became of a relayed record.
    enum class Relayed {
        Taken, // stored or handed on: the server may forget it
        Refused, // of no use here: the server may forget it too
        NotStored, // could not be stored: the server must keep it
    };

    // Set before the first record is routed; unset ones ignore the request.
    void setLinkAcceptance(TunnelAcceptance acceptTunnel, UdpAcceptance acceptUdp);
    void setRelayedPartReceiver(RelayedPartReceiver receiver);
    // Where relayed records for the plug-ins wait until one took them; none
    // when unset. Must outlive this object.
    void setInbox(DurableInbox *inbox);

    // At logout and at the start of a login: from now on plug-in records
    // wait and relay notices only mark a fetch as due. What waited for an
    // earlier session is forgotten, so it never reaches another account's
    // plug-ins (it stays in the input list up to its age limit).
    void holdPluginRecords();
    // Once every plug-in's initPlugin has run: offers what waited, in the
    // order it came, and fetches the relay when a notice came meanwhile.
    void releasePluginRecords();

    // The routing of one input record, on the calling thread.
    void handleServerCommand(const QString &id, const QString &command);
    void handleLocalCommand(const KvrConfig &record);
    // Has the relayed records waiting on the server moved into the input
    // list, on the fetch thread; returns at once.
    void fetchExchangeCommands();
    // Puts one record handed out by the relay into the input list when a peer
    // may send it (routing keys removed, "Wivora::sender" set to sender unless
    // that is empty; a record for the plug-ins stored in the inbox first), or
    // hands it to the relayed-part receiver when it is a part of a buffered
    // record from a named sender. With Sync::Later the inbox's record is
    // durable only after its next sync.
    Relayed putRelayedCommand(KvrConfig record, const QString &sender,
                              DurableInbox::Sync sync = DurableInbox::Sync::Now);
    void updateContactVCard(const KvrConfig &record);
    void updateContactStatus(const KvrConfig &record);

public slots:
    // Hands the record to a pool thread that routes it, and returns at once;
    // safe from any thread.
    void slotCommandReceived(const QString &id, const QString &command);

private:
    void offerToPlugins(const QString &id, const QString &command);
    void drainExchangeCommands();
    // False, noting the record, while plug-in records are held.
    bool mayOfferNow(const QString &id, const QString &command);

    IOCommandsTower *const m_tower;
    WPluginManager *const m_plugins;
    WSignalsDispatcher *const m_dispatcher;
    SessionState *const m_session;
    TunnelAcceptance m_acceptTunnel;
    UdpAcceptance m_acceptUdp;
    RelayedPartReceiver m_relayedPartReceiver;
    DurableInbox *m_inbox = nullptr;

    // Fetches run one at a time on one long-lived thread, so relayed records
    // enter the input list in the order the server hands them out. A notice
    // that comes while a fetch waits to start adds nothing: a sender relaying
    // fast neither piles up threads nor spreads its records over the memory
    // arenas of many short-lived ones.
    QThreadPool m_fetchThread;
    std::mutex m_fetchMutex;
    bool m_fetchQueued = false;

    // Guards the hold and what waits for its release.
    std::mutex m_holdMutex;
    // A client starts with its plug-ins not yet started.
    bool m_pluginRecordsHeld = true;
    bool m_fetchDue = false;
    // "ID" and name of each plug-in record that came while held.
    QList<QPair<QString, QString>> m_heldRecords;

    // The handlers; waited for on destruction.
    QThreadPool m_handlers;
    // The server's word on a contact's status and vCard is applied on one
    // thread in the order it came, so an older status never overwrites a
    // newer one.
    QThreadPool m_contactUpdates;
};
