#include "MainServerCommands.h"

#include "ServerProtocol.h"
#include "ServerRequest.h"
#include "WDataStructure.h"

#include <QDateTime>
#include <QtMath>

#include <limits>

namespace P = ServerProtocol;

namespace {

KvrConfig ask(const KvrConfig &request)
{
    return ServerRequest::askService(request, MainServerCommands::TimeoutMs);
}

} // namespace

KvrConfig MainServerCommands::getUserStatus(const QString &names)
{
    KvrConfig request = ServerRequest::make(P::GetUserStatus);
    request.sv(P::KeyUsers, names);
    const KvrConfig reply = ask(request);

    // Only the statuses: the reply's own keys ("ID", "command", "result")
    // are no business of the caller's.
    KvrConfig statuses;
    for (int i = 0; i < reply.size(); ++i) {
        const QString key = reply.GetKey(i);
        if (key.startsWith(QLatin1String(P::UserStatusKeyPrefix)))
            statuses.SetValue(key, reply.GetValue(i));
    }
    return statuses;
}

QSharedPointer<WDataStructure> MainServerCommands::getUserVCard(const QString &user)
{
    KvrConfig request = ServerRequest::make(P::GetUserVCard);
    request.sv(P::KeyUserName, user);
    const QString text = ask(request).gv(P::KeyVCard);
    if (text.isEmpty())
        return {};
    QSharedPointer<WDataStructure> vcard(new WDataStructure);
    if (!vcard->DeserializeStructure(text))
        return {};
    return vcard;
}

QList<KvrConfig> MainServerCommands::findUser(const QString &text)
{
    KvrConfig request = ServerRequest::make(P::FindUser);
    request.sv(P::KeyText, text);
    const KvrConfig reply = ask(request);

    // The count is the server's word only up to what the reply really holds.
    const int count = qBound(0, reply.gv(P::KeyCount).toInt(), reply.size());
    QList<KvrConfig> users;
    for (int i = 0; i < count; ++i) {
        KvrConfig user;
        if (user.DeserializeConfigBinary(reply.GetValue(P::MatchKeyPrefix + QString::number(i)))
            && !user.gv(P::KeyUserName).isEmpty())
            users.append(user);
    }
    return users;
}

QSharedPointer<WDataStructure> MainServerCommands::getWivoraPlugins(const QString &platform)
{
    KvrConfig request = ServerRequest::make(P::GetPlugins);
    request.sv(P::KeyPlatform, platform);
    const QString text = ask(request).gv(P::KeyPlugins);
    QSharedPointer<WDataStructure> catalogue(new WDataStructure);
    if (!text.isEmpty())
        catalogue->DeserializeStructure(text); // damaged → stays empty
    return catalogue;
}

QString MainServerCommands::checkWivoraUpdate(const QString &platform, int build)
{
    KvrConfig request = ServerRequest::make(P::CheckClientUpdate);
    request.sv(P::KeyPlatform, platform);
    request.SetValue(P::KeyBuild, build);
    return ask(request).gv(P::KeyUrl);
}

QString MainServerCommands::checkPluginUpdate(const QString &pluginName, const QString &platform,
                                              int version)
{
    KvrConfig request = ServerRequest::make(P::CheckPluginUpdate);
    request.sv(P::KeyName, pluginName);
    request.sv(P::KeyPlatform, platform);
    request.SetValue(P::KeyVersion, version);
    return ask(request).gv(P::KeyUrl);
}

int MainServerCommands::getTimeDiffrence()
{
    const qint64 sentMs = QDateTime::currentMSecsSinceEpoch();
    const QString time = ask(ServerRequest::make(P::GetTime)).gv(P::KeyTime);
    const qint64 receivedMs = QDateTime::currentMSecsSinceEpoch();
    const QDateTime serverTime = QDateTime::fromString(time, Qt::ISODateWithMs);
    if (!serverTime.isValid())
        return 0;
    // The server read its clock about halfway through the exchange.
    const qint64 localMs = sentMs + (receivedMs - sentMs) / 2;
    const qint64 seconds = qRound64((serverTime.toMSecsSinceEpoch() - localMs) / 1000.0);
    return int(qBound<qint64>(std::numeric_limits<int>::min(), seconds,
                              std::numeric_limits<int>::max()));
}
