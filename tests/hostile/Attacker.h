#pragma once

#include "E2eFixture.h"

#include <ServerProtocol.h>
#include <WCryptography.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

// A user attacking from the test process with the user's own account: a
// main-server link logged in as that user, links to peers that pass the peer
// handshake as that user, and tunnels through the server to peers.
class Attacker
{
public:
    bool logIn(E2eFixture &fixture, const QString &user)
    {
        m_host = fixture.server.host();
        m_port = QString::number(fixture.server.tcpPort());
        m_serverKey = fixture.server.publicKey();
        m_link = QSharedPointer<TcpConnection>::create();
        m_account = QSharedPointer<WivoraAccount>::create();
        const QString password = E2eFixture::passwordOf(user);
        return m_link->connectToHost(m_host, m_port, m_serverKey) && WServerCommands::Login(user, password, m_link)
            && m_account->openAccount(WServerCommands::getAccount(m_link), password, true);
    }
    QString name() const { return m_account->getUserName(); }

    // True when the server took the record for its receiver.
    bool relay(const QString &receiver, const KvrConfig &record)
    {
        return WServerCommands::sendExchangeCommand(receiver, record, m_account);
    }

    // A link to the peer's listening port on which this user proved its name.
    QSharedPointer<TcpConnection> linkTo(const QString &peer, quint16 port)
    {
        auto link = QSharedPointer<TcpConnection>::create();
        if (!link->connectToHost(QStringLiteral("127.0.0.1"), QString::number(port), E2eFixture::publicKeyOf(peer)))
            return {};
        const QByteArray challenge = WServerCommands::GetAuthenticationString(link);
        KvrConfig request;
        request.SetID();
        request.sv(QStringLiteral("command"), QString::fromLatin1(ServerProtocol::AuthenticateUser));
        request.sv(QString::fromLatin1(ServerProtocol::KeyUserName), name());
        request.SetValue(QString::fromLatin1(ServerProtocol::KeyAuthString),
                         WCryptography::SignMessageRSASHA(m_account->getPrivateKey(),
                                                          WServerCommands::AuthenticationMessage(challenge, peer)));
        if (challenge.isEmpty() || !link->sendCommand(request, WServerCommands::TimeoutMs).checkResult())
            return {};
        answerKeepAlives(link.data());
        return link;
    }

    // The initiator's leg of a tunnel to peer, which the server announced to
    // the peer's client; null when the server refused it, with its reason in
    // *refusal.
    QSharedPointer<TcpConnection> tunnelTo(const QString &peer, QString *refusal = nullptr)
    {
        auto link = QSharedPointer<TcpConnection>::create();
        answerKeepAlives(link.data());
        if (!link->connectToHost(m_host, m_port, m_serverKey))
            return {};
        const QByteArray challenge = WServerCommands::GetAuthenticationString(link);
        const QByteArray signature = WCryptography::SignMessageRSASHA(
            m_account->getPrivateKey(), WServerCommands::AuthenticationMessage(challenge, QString()));
        if (challenge.isEmpty() || !WServerCommands::VerifyUser(name(), signature, link))
            return {};
        KvrConfig request;
        request.SetID();
        request.sv(QStringLiteral("command"), QString::fromLatin1(ServerProtocol::InitTunnelConnection));
        request.sv(QString::fromLatin1(ServerProtocol::KeyUserName), name());
        request.sv(QString::fromLatin1(ServerProtocol::KeyPeer), peer);
        const KvrConfig reply = link->sendCommand(request, WServerCommands::TimeoutMs);
        if (!reply.checkResult()) {
            if (refusal)
                *refusal = reply.gv(QString::fromLatin1(ServerProtocol::KeyReason));
            return {};
        }
        return link;
    }

private:
    // Keep-alives are answered as a client answers them, so a peer keeps a
    // long attack's link.
    static void answerKeepAlives(TcpConnection *link)
    {
        QObject::connect(
            link, &TcpConnection::signalCommandReceived, link,
            [link](const QString &id, const QString &command) {
                if (command != QLatin1String(ServerProtocol::Ping))
                    return;
                const KvrConfig ping = link->getCommand(id, 0);
                if (ping.isEmpty())
                    return;
                KvrConfig pong;
                pong.SetValue(QStringLiteral("ID"), ping.GetValue(QStringLiteral("ID")));
                pong.sv(QStringLiteral("command"), QString::fromLatin1(ServerProtocol::Pong));
                pong.SetResult(true);
                link->pushCommand(pong);
            },
            Qt::DirectConnection);
    }

    QString m_host;
    QString m_port;
    QString m_serverKey;
    QSharedPointer<TcpConnection> m_link;
    QSharedPointer<WivoraAccount> m_account;
};
