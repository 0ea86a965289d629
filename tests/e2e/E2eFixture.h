#pragma once

// A real wivora-server on free ports and clients of it on this machine, each
// a wivora-headless process with the probe and echo plug-ins:
//
//   E2eFixture fixture;
//   QVERIFY(fixture.startService({"alice", "bob"}, {{"alice", "bob"}}));
//   auto alice = fixture.client("alice");   // prepared, not started
//   QVERIFY(alice->start());
//   alice->probe().request("bob", record);
//
// Each user's account listens on a free port of its own ("servers/tcpport",
// written into the account on the server before the client's first login).
// The test process itself is pointed at the server too (its own machine
// settings), so it can look users up as a client does.

#include "ClientProcess.h"
#include "ServerProcess.h"

#include <PSettings.h>
#include <TcpConnection.h>
#include <WServerCommands.h>
#include <WUtilities.h>
#include <WivoraAccount.h>

#include <QPair>
#include <QRandomGenerator>
#include <QSharedPointer>
#include <QTcpServer>

#include <memory>

class E2eFixture
{
public:
    static QString passwordOf(const QString &user) { return user + QStringLiteral("-secret"); }

    static QString probePlugin() { return QStringLiteral(WIVORA_PROBE_PLUGIN); }
    static QString echoPlugin() { return QStringLiteral(WIVORA_ECHO_PLUGIN); }

    // A record with a fresh "ID", the command name and payloadBytes random
    // bytes under "payload".
    static KvrConfig newRecord(const QString &command, int payloadBytes = 0)
    {
        KvrConfig record;
        record.SetID();
        record.sv(QStringLiteral("command"), command);
        if (payloadBytes > 0)
            record.SetValue(QStringLiteral("payload"), randomBytes(payloadBytes));
        return record;
    }
    static QByteArray randomBytes(int count)
    {
        QByteArray bytes(count, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(QRandomGenerator::global()->generate());
        return bytes;
    }

    // A port nobody listens on now (on any address, as clients listen).
    static quint16 freeTcpPort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::AnyIPv4, 0) ? probe.serverPort() : quint16(0);
    }

    // Starts the server with these users, each pair contacts of each other.
    bool startService(const QStringList &users, const QList<QPair<QString, QString>> &contacts = {})
    {
        for (const QString &user : users) {
            if (!server.addUser(user, passwordOf(user)))
                return false;
        }
        for (const auto &pair : contacts) {
            if (!server.addContact(pair.first, pair.second))
                return false;
        }
        if (!server.start())
            return false;
        const auto settings = serviceSettings();
        for (auto setting = settings.cbegin(); setting != settings.cend(); ++setting)
            PSettings::SetValue(setting.key(), setting.value());
        // This process's settings outlive the run: nothing of an earlier
        // server may stay.
        PSettings::SetValue(QStringLiteral("mainserverip"), server.host());
        return true;
    }

    // The usual pair: the service with alice and bob as contacts of each
    // other, and both clients logged in (bob first, so alice finds him
    // online). Returns what went wrong, empty on success.
    QString startContacts(std::unique_ptr<ClientProcess> *alice, std::unique_ptr<ClientProcess> *bob)
    {
        const QString aliceName = QStringLiteral("alice");
        const QString bobName = QStringLiteral("bob");
        if (!startService({aliceName, bobName}, {{aliceName, bobName}}))
            return server.errorText();
        *alice = client(aliceName);
        *bob = client(bobName);
        if (!*alice || !*bob)
            return clientSetupError;
        if (!(*bob)->start())
            return (*bob)->diagnostics();
        if (!(*alice)->start())
            return (*alice)->diagnostics();
        return QString();
    }

    // A client of user that is set up but not started; null when it could
    // not be set up, with the reason in clientSetupError.
    std::unique_ptr<ClientProcess> client(const QString &user)
    {
        auto client = std::make_unique<ClientProcess>(user, passwordOf(user));
        const auto settings = serviceSettings();
        for (auto setting = settings.cbegin(); setting != settings.cend(); ++setting)
            client->setMachineSetting(setting.key(), setting.value());
        const quint16 port = freeTcpPort();
        if (!client->installPlugin(probePlugin()) || !client->installPlugin(echoPlugin())) {
            clientSetupError = QStringLiteral("the test plug-ins could not be installed for ") + user;
            return nullptr;
        }
        if (port == 0 || !setListeningPort(user, port)) {
            clientSetupError = QStringLiteral("no listening port could be saved in %1's account (port %2)").arg(user).arg(port);
            return nullptr;
        }
        client->setListeningPort(port);
        for (auto variable = clientEnvironment.cbegin(); variable != clientEnvironment.cend(); ++variable)
            client->setEnvironment(variable.key(), variable.value());
        return client;
    }

    // Writes "servers/tcpport" into the user's account on the server, as a
    // client would save it.
    bool setListeningPort(const QString &user, quint16 port)
    {
        auto link = QSharedPointer<TcpConnection>::create();
        if (!link->connectToHost(server.host(), QString::number(server.tcpPort()), server.publicKey())
            || !WServerCommands::Login(user, passwordOf(user), link))
            return false;
        WivoraAccount account;
        const bool saved =
            account.openAccount(WServerCommands::getAccount(link), passwordOf(user), true)
            && account.settingsData->setSetting(QStringLiteral("servers/tcpport"), QByteArray::number(port))
            && WServerCommands::saveAccount(account.saveAccount(), link);
        link->disconnectFromHost();
        return saved;
    }

    // The user's public key as the server hands it to peers.
    static QString publicKeyOf(const QString &user) { return WUtilities::getUserPublicKey(user); }

    ServerProcess server;
    // Environment variables every client made from now on starts with.
    QMap<QString, QString> clientEnvironment;
    // Why the last client() gave none.
    QString clientSetupError;

private:
    // The machine settings that point a client at the server and pin its key.
    QMap<QString, QString> serviceSettings() const
    {
        const QString site = QStringLiteral("http://%1:%2").arg(server.host()).arg(server.httpPort());
        return {{QStringLiteral("service/domain"), server.host()},
                {QStringLiteral("service/port"), QString::number(server.tcpPort())},
                {QStringLiteral("service/accountsite"), site},
                {QStringLiteral("service/publicsite"), site},
                {QStringLiteral("service/serverkeyfile"), server.publicKeyFile()}};
    }
};
