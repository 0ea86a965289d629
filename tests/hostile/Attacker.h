#pragma once

#include "E2eFixture.h"

#include <ServerProtocol.h>
#include <WCryptography.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

// A user attacking from this test process with the user's own account: a
// main-server link logged in as that user, and links to peers that pass the
// peer handshake as that user.
class Attacker
{
public:
    bool logIn(E2eFixture &fixture, const QString &user)
    {
        m_link = QSharedPointer<TcpConnection>::create();
        m_account = QSharedPointer<WivoraAccount>::create();
        const QString password = E2eFixture::passwordOf(user);
        return m_link->connectToHost(fixture.server.host(), QString::number(fixture.server.tcpPort()),
                                     fixture.server.publicKey())
            && WServerCommands::Login(user, password, m_link)
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
        // Keep-alives are answered as a client answers them, so a long attack
        // keeps its link.
        TcpConnection *const raw = link.data();
        QObject::connect(
            raw, &TcpConnection::signalCommandReceived, raw,
            [raw](const QString &id, const QString &command) {
                if (command != QLatin1String(ServerProtocol::Ping))
                    return;
                const KvrConfig ping = raw->getCommand(id, 1000);
                KvrConfig pong;
                pong.SetValue(QStringLiteral("ID"), ping.GetValue(QStringLiteral("ID")));
                pong.sv(QStringLiteral("command"), QString::fromLatin1(ServerProtocol::Pong));
                pong.SetResult(true);
                if (!ping.isEmpty())
                    raw->pushCommand(pong);
            },
            Qt::DirectConnection);
        return link;
    }

private:
    QSharedPointer<TcpConnection> m_link;
    QSharedPointer<WivoraAccount> m_account;
};
