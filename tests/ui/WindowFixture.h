#pragma once

// A real wivora-server with users (each listening on a free port of its own,
// so tests running side by side do not collide) and, for tests that run the
// windows in their own process, machine settings pointing at it and the
// window-probe plug-in in the "plugins" folder.

#include "ClientSessionFixture.h"

#include <PSettings.h>
#include <TcpConnection.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTcpServer>

class WindowFixture
{
public:
    static QString passwordOf(const QString &user) { return ClientSessionFixture::passwordOf(user); }
    static QString probePlugin() { return QStringLiteral(WINDOW_PROBE_PLUGIN); }

    // Starts the server with users, contacts given as pairs.
    bool start(const QStringList &users, const QList<QPair<QString, QString>> &contacts = {})
    {
        for (const QString &user : users) {
            if (!sessions.server.addUser(user, passwordOf(user)))
                return false;
        }
        for (const auto &pair : contacts) {
            if (!sessions.server.addContact(pair.first, pair.second))
                return false;
        }
        if (!sessions.start({}))
            return false;
        for (const QString &user : users) {
            if (!setListeningPort(user, freePort()))
                return false;
        }
        return true;
    }

    // Points this process's client at the server and installs the probe plug-in.
    bool setUpThisProcess()
    {
        // The remembered password goes to the private file, never to the
        // keyring of whoever runs the tests.
        qputenv("WIVORA_NO_KEYRING", "1");
        const QMap<QString, QString> settings = serviceSettings();
        for (auto setting = settings.cbegin(); setting != settings.cend(); ++setting)
            PSettings::SetValue(setting.key(), setting.value());
        const QString plugins = PSettings::GetStoragePath(QStringLiteral("plugins"));
        const QString target = plugins + QStringLiteral("/libwindowprobe.so");
        // Replaced each time: the folder outlives builds of the plug-in.
        QFile::remove(target);
        return QDir().mkpath(plugins) && QFile::copy(probePlugin(), target);
    }

    // The machine settings that point a client at the server.
    QMap<QString, QString> serviceSettings() const
    {
        const ServerProcess &server = sessions.server;
        const QString site = QStringLiteral("http://%1:%2").arg(server.host()).arg(server.httpPort());
        return {{QStringLiteral("service/domain"), server.host()},
                {QStringLiteral("mainserverip"), server.host()},
                {QStringLiteral("service/port"), QString::number(server.tcpPort())},
                {QStringLiteral("service/serverkey"), server.publicKey()},
                {QStringLiteral("service/accountsite"), site},
                {QStringLiteral("service/publicsite"), site}};
    }

    QString site() const { return serviceSettings().value(QStringLiteral("service/publicsite")); }

    ClientSessionFixture sessions;

private:
    static quint16 freePort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::AnyIPv4, 0) ? probe.serverPort() : quint16(0);
    }

    bool setListeningPort(const QString &user, quint16 port)
    {
        const QSharedPointer<TcpConnection> link = sessions.loggedInLink(user);
        if (!link || port == 0)
            return false;
        WivoraAccount account;
        const bool saved = account.openAccount(WServerCommands::getAccount(link), passwordOf(user), true)
            && account.settingsData->setSetting(QStringLiteral("servers/tcpport"), QByteArray::number(port))
            && WServerCommands::saveAccount(account.saveAccount(), link);
        link->disconnectFromHost();
        return saved;
    }
};
