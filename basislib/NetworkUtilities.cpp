#include "NetworkUtilities.h"

#include <QDeadlineTimer>
#include <QNetworkInterface>
#include <QStringList>
#include <QTcpSocket>
#include <QUuid>

#include <memory>
#include <vector>

#include <sys/socket.h>

QString NetworkUtilities::GetGuid()
{
    return QUuid::createUuid().toString(QUuid::WithBraces);
}

QString NetworkUtilities::getTcpActiveIp(const QString &addresses, const QString &port)
{
    bool portOk = false;
    const uint portNumber = port.trimmed().toUInt(&portOk);
    if (!portOk || portNumber == 0 || portNumber > 65535)
        return QString();

    // The list comes from a peer: probe no more than MaxProbes addresses.
    QStringList candidates;
    for (const QString &entry : addresses.split(QLatin1Char(','))) {
        const QString address = entry.trimmed();
        if (!address.isEmpty() && candidates.size() < MaxProbes)
            candidates.append(address);
    }

    // Start every probe first, so that unreachable addresses cost one
    // time-out in all rather than one each; then take the answers in list
    // order.
    std::vector<std::unique_ptr<QTcpSocket>> probes;
    probes.reserve(static_cast<size_t>(candidates.size()));
    for (const QString &address : candidates) {
        probes.push_back(std::make_unique<QTcpSocket>());
        probes.back()->connectToHost(address, static_cast<quint16>(portNumber));
    }

    // A probe whose connection completed while an earlier one was awaited
    // still needs a moment to notice it: waitForConnected(0) never looks.
    constexpr qint64 NoticeMs = 10;
    const QDeadlineTimer deadline(ProbeTimeoutMs);
    for (size_t i = 0; i < probes.size(); ++i) {
        const int waitMs = static_cast<int>(qMax(deadline.remainingTime(), NoticeMs));
        if (probes[i]->waitForConnected(waitMs))
            return candidates.at(static_cast<int>(i));
    }
    return QString();
}

QString NetworkUtilities::getLocalAddresses()
{
    QStringList result;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        const auto flags = networkInterface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : networkInterface.addressEntries()) {
            const QHostAddress address = entry.ip();
            if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
                result.append(address.toString());
        }
    }
    result.removeDuplicates();
    result.append(QStringLiteral("127.0.0.1"));
    return result.join(QLatin1Char(','));
}

void NetworkUtilities::widenAcceptQueue(qintptr listeningSocket)
{
    // Listening again only changes the queue's length; the kernel caps it
    // at its own limit (net.core.somaxconn).
    if (listeningSocket >= 0)
        ::listen(int(listeningSocket), 65535);
}
