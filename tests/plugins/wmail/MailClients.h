#pragma once

// Alice and bob, contacts of each other, as real clients with the messaging
// and file-sharing plug-ins against a real wivora-server: what the delivery
// tests that kill, hold or freeze a client share.

#include "E2eFixture.h"
#include "WMailConversation.h"

#include <memory>

namespace MailClients {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
// Scaled for tests: a buffered record waits this long for its first part's
// acknowledgement before it is relayed through the server.
const QString AckTimeoutMs = QStringLiteral("3000");

// Starts the server with alice and bob as contacts; every client made from
// now on waits AckTimeoutMs for acknowledgements.
inline bool startService(E2eFixture &fixture)
{
    fixture.clientEnvironment.insert(QString::fromLatin1(ProbeProtocol::AckTimeoutVariable), AckTimeoutMs);
    return fixture.startService({Alice, Bob}, {{Alice, Bob}});
}

// The user's client with both plug-ins, not started; null when it could not
// be set up.
inline std::unique_ptr<ClientProcess> client(E2eFixture &fixture, const QString &user)
{
    std::unique_ptr<ClientProcess> client = fixture.client(user);
    if (client
        && !(client->installPlugin(QStringLiteral(WIVORA_WMAIL_PLUGIN))
             && client->installPlugin(QStringLiteral(WIVORA_WFTP_PLUGIN))))
        client.reset();
    return client;
}

// The ids of the messages in client's conversation with peer, as its files
// hold them.
inline QStringList storedIds(ClientProcess &client, const QString &peer)
{
    auto conversation = WMailConversation::Pointer::create(
        client.storagePath(QStringLiteral("pluginsstorage/%1/wmail").arg(client.user())), peer);
    return conversation->load() ? conversation->messageIds() : QStringList();
}

} // namespace MailClients
