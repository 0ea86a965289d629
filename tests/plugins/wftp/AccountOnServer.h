#pragma once

// A user's account as the server keeps it, opened for the file-sharing engine
// to write its records into, and saved back as the owner's own client would:
//
//   QVERIFY(editAccountOnServer(server, "alice", password, [&](WFtpEngine &engine) {
//       id = engine.addWebSharedFile(path, "pw", expiry)->gv("section");
//   }));

#include "ServerProcess.h"

#include <IAccountProvider.h>
#include <TcpConnection.h>
#include <WFtpEngine.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QSharedPointer>

#include <functional>

class AccountOnServer : public IAccountProvider
{
public:
    explicit AccountOnServer(const QSharedPointer<WivoraAccount> &account) : m_account(account) {}
    QSharedPointer<WivoraAccount> getAccount() override { return m_account; }
    void saveAccount() override {}
    bool isLocal() override { return true; }

private:
    QSharedPointer<WivoraAccount> m_account;
};

inline bool editAccountOnServer(const ServerProcess &server, const QString &user, const QString &password,
                                const std::function<void(WFtpEngine &)> &edit)
{
    auto link = QSharedPointer<TcpConnection>::create();
    if (!link->connectToHost(server.host(), QString::number(server.tcpPort()), server.publicKey())
        || !WServerCommands::Login(user, password, link))
        return false;
    auto account = QSharedPointer<WivoraAccount>::create();
    bool saved = account->openAccount(WServerCommands::getAccount(link), password, true);
    if (saved) {
        account->setUserName(user);
        WFtpEngine engine(QSharedPointer<AccountOnServer>::create(account));
        edit(engine);
        saved = WServerCommands::saveAccount(account->saveAccount(), link);
    }
    link->disconnectFromHost();
    return saved;
}
