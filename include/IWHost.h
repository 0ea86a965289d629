#pragma once

#include "IWSignalDispatcher.h"

#include <KvrConfig.h>

#include <QByteArray>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

class WivoraAccount;
class TcpConnection;

// What a plug-in may ask of the program. The program hands each plug-in one
// pointer to it (IWPlugin::setHostInterface), valid for the whole process.
// Every operation runs on the calling thread, which may be any thread.
//
// The order of the operations is part of the binary contract between the
// program and the plug-ins: append new operations at the end only.
class IWHost
{
public:
    virtual ~IWHost() = default;

    // The logged-in account; the fresh empty account while nobody is logged in.
    virtual QSharedPointer<WivoraAccount> getAccount() = 0;
    // Queues the record (with "binary" set) for `receiver` on the link named
    // by connectionID when it exists, else on a link of the kind that
    // serverConnection selects, made on demand. Undeliverable records are
    // dropped later without a report.
    virtual void sendCommand(const KvrConfig &record, const QString &receiver, bool serverConnection,
                             const QString &connectionID) = 0;
    // Pushes the record unchanged onto the main-server link.
    virtual void sendServerCommand(const KvrConfig &record) = 0;
    // Makes a new link to the user (never reuses one) and returns its
    // identifier, or "" when none could be made. Blocks for the set-up.
    virtual QString openUserConnection(const QString &user, bool serverConnection) = 0;
    virtual void closeConnection(const QString &connectionID) = 0;
    // True when the link exists, is connected and is authenticated.
    virtual bool isConnectionActive(const QString &connectionID) = 0;
    virtual bool hasUserConnection(const QString &user, bool serverConnection) = 0;
    virtual IWSignalDispatcher *getSignalDispatcher() = 0;
    // Stores the icon (image file bytes) drawn beside contacts whose activity
    // of that name is on.
    virtual void registerActivityHandler(const QString &name, const QByteArray &icon) = 0;
    virtual void setUserActivity(const QString &user, const QString &activity, bool active) = 0;
    // Saves the account to the main server and to the local account file.
    virtual void saveAccount() = 0;
    // Removes and returns the received record with that "ID"; an empty record
    // when there is none.
    virtual KvrConfig takeInputCommand(const QString &id) = 0;
    virtual QSharedPointer<TcpConnection> getServerConnection() = 0;
    // The storage path of "/pluginsstorage/<user>/<pluginName>"; creates nothing.
    virtual QString getPluginStoragePath(const QString &pluginName) = 0;
    virtual QStringList getSelectedContacts() = 0;
    // Queues the record to be relayed to the user through the main server.
    // False when it was dropped: nobody is logged in, the user is empty, or
    // the queue refused it.
    virtual bool queueExchangeCommand(const QString &user, const KvrConfig &record) = 0;
    // Keeps the record (across restarts) and delivers it to the user later.
    virtual void bufferCommand(const QString &user, const KvrConfig &record) = 0;
    virtual void displayActivityNotification(const QString &text) = 0;
    // True for a contact; for anyone else asks the local user and blocks
    // until the answer (true only for Yes).
    virtual bool isUserAccepted(const QString &user) = 0;
    // takeInputCommand that waits up to timeoutMs for the record and returns
    // as soon as it arrives; an empty record on time-out. On a thread with a
    // running event loop, events keep flowing meanwhile.
    virtual KvrConfig waitInputCommand(const QString &id, int timeoutMs) = 0;
    // A copy of the received record with that "ID", left in the input list
    // for a plug-in that takes it only once it has kept what it carries; an
    // empty record when there is none.
    virtual KvrConfig peekInputCommand(const QString &id) = 0;
};
