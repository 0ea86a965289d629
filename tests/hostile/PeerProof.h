#pragma once

// A user's own key and the records with which a link proves that user's
// name: at the main server (the far side signs for nobody) or at a peer's
// listening port (signed for that peer).

#include "E2eFixture.h"

#include <ServerProtocol.h>
#include <TcpConnection.h>
#include <WCryptography.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QSharedPointer>

// The private key of user, read from the account the server keeps for it;
// empty when the login or the account failed.
inline QString privateKeyOf(const E2eFixture &fixture, const QString &user)
{
    auto link = QSharedPointer<TcpConnection>::create();
    if (!link->connectToHost(fixture.server.host(), QString::number(fixture.server.tcpPort()),
                             fixture.server.publicKey())
        || !WServerCommands::Login(user, E2eFixture::passwordOf(user), link))
        return QString();
    WivoraAccount account;
    const bool opened = account.openAccount(WServerCommands::getAccount(link), E2eFixture::passwordOf(user), true);
    link->disconnectFromHost();
    return opened ? account.getPrivateKey() : QString();
}

// "User::AuthenticateUser" answering challenge as prover, towards verifier
// (a peer's name; empty for the main server).
inline KvrConfig nameProof(const QString &prover, const QString &privateKey, const QByteArray &challenge,
                           const QString &verifier)
{
    namespace P = ServerProtocol;
    KvrConfig proof = E2eFixture::newRecord(QLatin1String(P::AuthenticateUser));
    proof.sv(QLatin1String(P::KeyUserName), prover);
    proof.SetValue(QLatin1String(P::KeyAuthString),
                   WCryptography::SignMessageRSASHA(privateKey,
                                                    WServerCommands::AuthenticationMessage(challenge, verifier)));
    return proof;
}
