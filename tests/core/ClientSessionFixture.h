#pragma once

// A real wivora-server with a few users, and a client session (SessionState)
// logged in to it as one of them, the way login leaves it: the main-server
// link connected and logged in, the account named and holding the password.

#include "ServerProcess.h"
#include "SessionState.h"

#include <PSettings.h>
#include <TcpConnection.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QSharedPointer>
#include <QStringList>

class ClientSessionFixture
{
public:
    static QString passwordOf(const QString &user) { return user + QStringLiteral("-secret"); }

    // Starts the server with these users and points the client's machine
    // settings at it.
    bool start(const QStringList &users)
    {
        for (const QString &user : users) {
            if (!server.addUser(user, passwordOf(user)))
                return false;
        }
        if (!server.start())
            return false;
        PSettings::SetValue(QStringLiteral("mainserverip"), server.host());
        PSettings::SetValue(QStringLiteral("service/domain"), server.host());
        PSettings::SetValue(QStringLiteral("service/port"), QString::number(server.tcpPort()));
        PSettings::SetValue(QStringLiteral("service/serverkeyfile"), server.publicKeyFile());
        PSettings::SetValue(QStringLiteral("service/accountsite"),
                            QStringLiteral("http://127.0.0.1:%1").arg(server.httpPort()));
        return true;
    }

    // Connects link to the server (again) and logs it in; no login when user
    // is empty.
    bool connect(const QSharedPointer<TcpConnection> &link, const QString &user = QString(),
                 const QString &password = QString())
    {
        link->disconnectFromHost();
        if (!link->connectToHost(server.host(), QString::number(server.tcpPort()), server.publicKey()))
            return false;
        return user.isEmpty()
            || WServerCommands::Login(user, password.isEmpty() ? passwordOf(user) : password, link);
    }

    // A new link logged in as user.
    QSharedPointer<TcpConnection> loggedInLink(const QString &user)
    {
        auto link = QSharedPointer<TcpConnection>::create();
        return connect(link, user) ? link : QSharedPointer<TcpConnection>();
    }

    // Logs the session's link in as user and gives the session a fresh
    // account of that user.
    bool logIn(SessionState &session, const QString &user)
    {
        if (!connect(session.serverLink(), user))
            return false;
        auto account = QSharedPointer<WivoraAccount>::create();
        account->setUserName(user);
        account->setPassword(passwordOf(user));
        account->sv(QStringLiteral("tempPassword"), passwordOf(user));
        session.setAccount(account);
        return true;
    }

    ServerProcess server;
};
