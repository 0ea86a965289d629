#pragma once

// One client's link layer, wired the way the session controller wires it,
// logged in to a real wivora-server (ClientSessionFixture): its own session
// and account (keys opened from the server's account text), command stores,
// WorkingThread, link manager and listening server on its own port. Several
// live in one process without sharing anything but the machine settings,
// which all point at the same server.
//
// The pushes that announce a tunnel or a UDP session arrive on the main-server
// link and are handed to the link manager, as the local-command handler does.

#include "ClientSessionFixture.h"
#include "ConnectionsThread.h"
#include "IOCommandsTower.h"
#include "SessionState.h"
#include "WTcpServer.h"
#include "WorkingThread.h"

#include <ServerProtocol.h>
#include <TcpConnection.h>
#include <UdpTower.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QMutex>
#include <QTcpServer>

#include <memory>

class LinkTestClient
{
public:
    LinkTestClient() = default;
    ~LinkTestClient() { stop(); }
    LinkTestClient(const LinkTestClient &) = delete;
    LinkTestClient &operator=(const LinkTestClient &) = delete;

    static quint16 freePort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::AnyIPv4, 0) ? probe.serverPort() : quint16(0);
    }

    // Logs in as user, tells the server the host information (listening
    // port `port`) and starts the link layer; listens only when `listening`.
    bool start(ClientSessionFixture &fixture, const QString &user, bool listening = true)
    {
        name = user;
        if (!fixture.logIn(session, user))
            return false;
        const QString text = WServerCommands::getAccount(session.serverLink());
        if (!session.account()->openAccount(text, ClientSessionFixture::passwordOf(user), true))
            return false;
        port = freePort();
        session.account()->settingsData->setSetting(QStringLiteral("servers/tcpport"), QByteArray::number(port));
        if (WServerCommands::SendHostInformation(QStringLiteral("127.0.0.1"), port, session.serverLink()).isEmpty())
            return false;

        working.start();
        connections.reset(new ConnectionsThread(&commands, &session));
        connections->setBufferedPartReceiver([this](const KvrConfig &part) {
            QMutexLocker lock(&partsMutex);
            bufferedParts.append(part);
        });
        connections->moveToThread(&working);
        connections->start();

        pushHandler.reset(new QObject);
        pushHandler->moveToThread(&working);
        QObject::connect(session.serverLink().data(), &TcpConnection::signalCommandReceived, pushHandler.get(),
                         [this](const QString &id, const QString &command) { handlePush(id, command); });

        tcpServer = new WTcpServer(&session);
        tcpServer->moveToThread(&working);
        QObject::connect(tcpServer, &WTcpServer::signalNewConnectionArrived, connections.get(),
                         &ConnectionsThread::slotTcpConnectionArrived);
        bool listens = !listening;
        if (listening)
            QMetaObject::invokeMethod(tcpServer, [this] { return tcpServer->startListening(); },
                                      Qt::BlockingQueuedConnection, &listens);
        return listens && waitForUdpTower();
    }

    void stop()
    {
        if (!connections)
            return;
        QObject::disconnect(session.serverLink().data(), nullptr, pushHandler.get(), nullptr);
        tcpServer->deleteLater(); // closed on its own thread
        working.quit();
        working.wait();
        connections.reset();
        pushHandler.reset();
        session.serverLink()->disconnectFromHost();
    }

    // Blocks every link datagram this client's UDP endpoint receives.
    void blockUdp() { connections->udpTower()->setDropRateForTesting(1.0); }

    // Puts a record for `receiver` into the output list, as IWHost::sendCommand does.
    QString send(KvrConfig record, const QString &receiver, bool serverConnection = false,
                 const QString &connectionID = QString())
    {
        const QString id = record.CheckKeyExist(QStringLiteral("ID")) ? record.GetID() : record.SetID();
        commands.putOutputCommand(record, receiver, serverConnection, connectionID);
        return id;
    }

    KvrConfig received(const QString &id, int timeoutMs = 30000) { return commands.waitInputCommand(id, timeoutMs); }

    QList<KvrConfig> takeBufferedParts()
    {
        QMutexLocker lock(&partsMutex);
        return std::exchange(bufferedParts, {});
    }

    QString name;
    quint16 port = 0;
    SessionState session;
    IOCommandsTower commands;
    WorkingThread working;
    std::unique_ptr<ConnectionsThread> connections;

private:
    bool waitForUdpTower()
    {
        for (int i = 0; i < 500 && !connections->udpTower(); ++i)
            QThread::msleep(10);
        return !connections->udpTower().isNull();
    }

    void handlePush(const QString &id, const QString &command)
    {
        namespace P = ServerProtocol;
        if (command == QLatin1String(P::PushInitTunnelConnection)) {
            const KvrConfig push = session.serverLink()->getCommand(id, 1000);
            connections->requestTunnelAcceptance(push.gv(QLatin1String(P::KeyTunnelId)),
                                                 push.gv(QLatin1String(P::KeySender)),
                                                 push.gv(QLatin1String(P::KeyServerMode)) == QLatin1String("1"));
        } else if (command == QLatin1String(P::PushInitUdpConnection)) {
            const KvrConfig push = session.serverLink()->getCommand(id, 1000);
            connections->requestUdpAcceptance(push.gv(QLatin1String(P::KeySender)),
                                              push.gv(QLatin1String(P::KeySessionId)));
        }
    }

    WTcpServer *tcpServer = nullptr;
    std::unique_ptr<QObject> pushHandler;
    QMutex partsMutex;
    QList<KvrConfig> bufferedParts;
};
