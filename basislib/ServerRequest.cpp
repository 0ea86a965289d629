#include "ServerRequest.h"

#include "PSettings.h"
#include "ServerLinkRegistry.h"
#include "ServerProtocol.h"
#include "TcpConnection.h"
#include "WUtilities.h"

#include <QElapsedTimer>

#include <memory>

namespace {

int remainingMs(const QElapsedTimer &clock, int timeoutMs)
{
    return qMax(0, timeoutMs - int(clock.elapsed()));
}

QString servicePort()
{
    const QString port = PSettings::GetValue(QStringLiteral("service/port")).toString().trimmed();
    return port.isEmpty() ? QString::number(ServerProtocol::DefaultTcpPort) : port;
}

} // namespace

KvrConfig ServerRequest::make(const char *command)
{
    KvrConfig request;
    request.SetID();
    request.SetValue(QString::fromLatin1(ServerProtocol::KeyCommand), command);
    return request;
}

KvrConfig ServerRequest::ask(const QSharedPointer<TcpConnection> &link, const KvrConfig &request,
                             int timeoutMs, QString *refusal, bool *answered)
{
    if (refusal)
        refusal->clear();
    if (answered)
        *answered = false;
    if (!link || !link->isConnected())
        return {};
    const KvrConfig reply = link->sendCommand(request, timeoutMs);
    if (reply.GetID() != request.GetID())
        return {};
    if (answered)
        *answered = true;
    if (!reply.checkResult()) {
        if (refusal)
            *refusal = reply.gv(QLatin1String(ServerProtocol::KeyReason)).left(MaxRefusalLength);
        return {};
    }
    return reply;
}

KvrConfig ServerRequest::askService(const KvrConfig &request, int timeoutMs)
{
    if (const QSharedPointer<TcpConnection> mainLink = ServerLinkRegistry::currentLink())
        return ask(mainLink, request, timeoutMs);

    QElapsedTimer clock;
    clock.start();
    const QString address = WUtilities::getUserIp(QString());
    const QString key = WUtilities::getServerPublicKey(QString());
    if (address.isEmpty() || key.isEmpty())
        return {};
    const int connectMs = remainingMs(clock, timeoutMs);
    if (connectMs == 0)
        return {};

    // Deleted directly rather than later: the calling thread may have no
    // event loop to run a deferred delete.
    QSharedPointer<TcpConnection> link(new TcpConnection);
    if (!link->connectToHost(address, servicePort(), key, connectMs))
        return {};
    const KvrConfig reply = ask(link, request, remainingMs(clock, timeoutMs));
    link->disconnectFromHost();
    return reply;
}
