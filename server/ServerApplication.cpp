#include "ServerApplication.h"

#include "LoginThrottle.h"
#include "MainServer.h"
#include "NetworkUtilities.h"
#include "PasswordWorkPool.h"
#include "PluginCatalogue.h"
#include "PrivateDataFolder.h"
#include "ServerContext.h"
#include "ServerKeyFiles.h"
#include "ServerStore.h"
#include "SessionRegistry.h"
#include "TunnelBroker.h"
#include "UdpRendezvous.h"
#include "UserAdministration.h"

#ifdef WIVORA_SERVER_WITH_WEB
#include "WebServer.h"
#endif

#include <QDir>
#include <QHostAddress>
#include <QTextStream>
#include <QThread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <thread>

namespace {

// Key derivation is meant to be slow (some 30 ms a check): a thread per core
// works through logins, and those beyond wait in a queue rather than being
// refused. Its bound keeps the last one's wait (128 checks a thread, about
// 4 s) well within a client's request time-out.
constexpr int MaxWaitingPasswordWorkPerThread = 128;

// A UDP session is opened only by a user who is online, from the address of
// that user's main link, towards a user who is online; the peer is told.
bool admitUdpInitiator(SessionRegistry &registry, int session, const QString &own, const QString &peer,
                       const UdpRendezvous::Endpoint &from)
{
    const QHostAddress source(QString::fromStdString(from.address().to_string()));
    const QHostAddress mainLink(registry.peerAddressOf(own));
    if (own.compare(peer, Qt::CaseInsensitive) == 0 || !registry.isOnline(peer)
        || !source.isEqual(mainLink, QHostAddress::ConvertV4MappedToIPv4))
        return false;
    KvrConfig notice;
    notice.SetID();
    notice.SetValue(QLatin1String(ServerProtocol::KeyCommand), ServerProtocol::PushInitUdpConnection);
    notice.SetValue(QLatin1String(ServerProtocol::KeySessionId), QString::number(session));
    notice.SetValue(QLatin1String(ServerProtocol::KeySender), own.toLower());
    return registry.push(peer, notice);
}

} // namespace

struct ServerApplication::Private
{
    ServerOptions options;
    QTextStream &out;
    ServerStore store;
    SessionRegistry registry;
    std::unique_ptr<TunnelBroker> tunnels;
    std::unique_ptr<PluginCatalogue> catalogue;
    LoginThrottle loginThrottle;
    std::unique_ptr<PasswordWorkPool> passwordWork;
    std::unique_ptr<ServerContext> context;
    std::unique_ptr<MainServer> mainServer;
#ifdef WIVORA_SERVER_WITH_WEB
    std::unique_ptr<WebServer> web;
#endif
    boost::asio::io_context udpIo;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> udpWork{udpIo.get_executor()};
    std::thread udpThread;
    std::unique_ptr<UdpRendezvous> udp;

    Private(const ServerOptions &o, QTextStream &stream)
        : options(o)
        , out(stream)
    {
    }

    void announce(const char *kind, int port)
    {
        out << "listening " << kind << ' ' << options.host << ':' << port << Qt::endl;
    }
};

ServerApplication::ServerApplication(const ServerOptions &options, QTextStream &out, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>(options, out))
{
}

ServerApplication::~ServerApplication()
{
    stop();
}

bool ServerApplication::start(QString *error)
{
    const ServerOptions &options = d->options;
    if (!PrivateDataFolder::prepare(options.dataDir, error))
        return false;
    if (!d->store.open(QDir(options.dataDir).filePath(QLatin1String(ServerStore::FileName)))) {
        *error = QStringLiteral("cannot open the store: %1").arg(d->store.lastError());
        return false;
    }
    const WKeyPair keys = ServerKeyFiles::loadOrCreate(options.dataDir);
    if (!keys.isValid()) {
        *error = QStringLiteral("cannot read or make the server's key pair in %1").arg(options.dataDir);
        return false;
    }
    if (options.demo) {
        UserAdministration administration(d->store);
        const QStringList demoUsers = administration.ensureDemoUsers();
        if (demoUsers.isEmpty()) {
            *error = QStringLiteral("cannot create the demo users: %1").arg(administration.lastError());
            return false;
        }
        for (const QString &line : demoUsers)
            d->out << "demo user " << line << Qt::endl;
    }

    int httpPort = options.httpPort;
#ifdef WIVORA_SERVER_WITH_WEB
    d->web = std::make_unique<WebServer>(options.dataDir, &d->registry, WebServerLimits::fromEnvironment());
    if (!d->web->start(options.host, quint16(options.httpPort))) {
        *error = QStringLiteral("cannot listen for http on %1:%2").arg(options.host).arg(options.httpPort);
        return false;
    }
    httpPort = d->web->port();
    d->announce("http", httpPort);
#endif

    d->udp = std::make_unique<UdpRendezvous>(
        d->udpIo, [registry = &d->registry](int session, const QString &own, const QString &peer,
                                            const UdpRendezvous::Endpoint &from) {
            return admitUdpInitiator(*registry, session, own, peer, from);
        });
    if (!d->udp->listen(options.host, quint16(options.udpPort))) {
        *error = QStringLiteral("cannot listen for udp on %1:%2").arg(options.host).arg(options.udpPort);
        return false;
    }
    d->udpThread = std::thread([io = &d->udpIo] { io->run(); });
    d->announce("udp", d->udp->port());

    d->tunnels = std::make_unique<TunnelBroker>(options.tunnelJoinTimeoutMs);
    d->catalogue = std::make_unique<PluginCatalogue>(
        options.dataDir, QStringLiteral("http://%1:%2").arg(options.host).arg(httpPort));
    const int passwordWorkThreads = qMax(1, QThread::idealThreadCount());
    d->passwordWork = std::make_unique<PasswordWorkPool>(
        passwordWorkThreads, passwordWorkThreads * MaxWaitingPasswordWorkPerThread);
    d->context.reset(new ServerContext{d->store, d->registry, *d->tunnels, *d->catalogue, keys,
                                       d->loginThrottle, *d->passwordWork});
    d->mainServer = std::make_unique<MainServer>(*d->context);
    if (!d->mainServer->listen(QHostAddress(options.host), quint16(options.tcpPort))) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(options.host)
                     .arg(options.tcpPort)
                     .arg(d->mainServer->errorString());
        return false;
    }
    NetworkUtilities::widenAcceptQueue(d->mainServer->socketDescriptor());
    // Last: a line for tcp tells that everything listens.
    d->announce("tcp", d->mainServer->serverPort());
    return true;
}

void ServerApplication::stop()
{
    if (d->mainServer) {
        d->mainServer->close();
        d->mainServer.reset();
    }
    d->passwordWork.reset();
#ifdef WIVORA_SERVER_WITH_WEB
    if (d->web) {
        d->web->stop();
        d->web.reset();
    }
#endif
    d->udp.reset();
    d->udpWork.reset();
    d->udpIo.stop();
    if (d->udpThread.joinable())
        d->udpThread.join();
}
