#include "WServerCommands.h"

#include "ServerLinkRegistry.h"
#include "ServerProtocol.h"
#include "ServerRequest.h"
#include "TcpConnection.h"
#include "WivoraAccount.h"

namespace P = ServerProtocol;

namespace {

KvrConfig ask(const WServerCommands::Link &link, const KvrConfig &request)
{
    return ServerRequest::ask(link, request, WServerCommands::TimeoutMs);
}

bool succeeds(const WServerCommands::Link &link, const KvrConfig &request)
{
    return !ask(link, request).isEmpty();
}

// Relations change only over the own user's main link.
bool changeRelation(const char *command, const QString &own, const QString &contact)
{
    KvrConfig request = ServerRequest::make(command);
    request.sv(P::KeyUserName, own);
    request.sv(P::KeyContact, contact);
    return succeeds(ServerLinkRegistry::linkOf(own), request);
}

} // namespace

bool WServerCommands::Login(const QString &user, const QString &password, const Link &link, QString *refusal,
                            bool *answered)
{
    KvrConfig request = ServerRequest::make(P::Login);
    request.sv(P::KeyUserName, user);
    request.sv(P::KeyPassword, password);
    if (ServerRequest::ask(link, request, TimeoutMs, refusal, answered).isEmpty())
        return false;
    ServerLinkRegistry::registerLink(user, link);
    return true;
}

bool WServerCommands::Ping(const Link &link)
{
    return succeeds(link, ServerRequest::make(P::Ping));
}

bool WServerCommands::UpdateUserStatus(int status, const Link &link)
{
    KvrConfig request = ServerRequest::make(P::UpdateUserStatus);
    request.SetValue(P::KeyStatus, status);
    return succeeds(link, request);
}

QString WServerCommands::SendHostInformation(const QString &addresses, int port, const Link &link)
{
    KvrConfig request = ServerRequest::make(P::SendHostInformation);
    request.sv(P::KeyAddresses, addresses);
    request.SetValue(P::KeyPort, port);
    return ask(link, request).gv(P::KeyExternalIp);
}

QString WServerCommands::getAccount(const Link &link)
{
    return ask(link, ServerRequest::make(P::GetAccount)).gv(P::KeyAccount);
}

bool WServerCommands::saveAccount(const QString &accountText, const Link &link)
{
    KvrConfig request = ServerRequest::make(P::SaveAccount);
    request.sv(P::KeyAccount, accountText);
    return succeeds(link, request);
}

QDateTime WServerCommands::getLastAccountSaveTime(const Link &link)
{
    const QString time = ask(link, ServerRequest::make(P::GetLastAccountSaveTime)).gv(P::KeyTime);
    if (time.isEmpty())
        return {};
    return QDateTime::fromString(time, Qt::ISODateWithMs);
}

bool WServerCommands::setPassword(const QByteArray &password, const Link &link)
{
    KvrConfig request = ServerRequest::make(P::SetPassword);
    request.SetValue(P::KeyPassword, password);
    return succeeds(link, request);
}

bool WServerCommands::updateVCard(const QString &serializedVCard, const Link &link)
{
    KvrConfig request = ServerRequest::make(P::UpdateVCard);
    request.sv(P::KeyVCard, serializedVCard);
    return succeeds(link, request);
}

bool WServerCommands::ConnectToUser(const QString &own, const QString &contact)
{
    return changeRelation(P::ConnectToUser, own, contact);
}

bool WServerCommands::DisconnectFromUser(const QString &own, const QString &contact)
{
    return changeRelation(P::DisconnectFromUser, own, contact);
}

QStringList WServerCommands::GetConnectedUsers(const Link &link)
{
    const QString users = ask(link, ServerRequest::make(P::GetConnectedUsers)).gv(P::KeyUsers);
    return users.split(QLatin1Char(P::UserListSeparator), Qt::SkipEmptyParts);
}

KvrConfig WServerCommands::getUserHostInfo(const QString &user)
{
    KvrConfig request = ServerRequest::make(P::GetUserHostInfo);
    request.sv(P::KeyUserName, user);
    const KvrConfig reply = ask(ServerLinkRegistry::currentLink(), request);
    // Only the two keys callers read: anything else would make "no keys"
    // (the user cannot be reached) look like information.
    if (!reply.CheckKeyExist(P::KeyAddresses) || !reply.CheckKeyExist(P::KeyTcpPort))
        return {};
    KvrConfig info;
    info.SetValue(P::KeyAddresses, reply.GetValue(P::KeyAddresses));
    info.SetValue(P::KeyTcpPort, reply.GetValue(P::KeyTcpPort));
    return info;
}

QByteArray WServerCommands::AuthenticationMessage(const QByteArray &challenge, const QString &verifier)
{
    QByteArray message("wivora authentication");
    message += '\0';
    message += verifier.isEmpty() ? QByteArray("server") : "user:" + verifier.toLower().toUtf8();
    message += '\0';
    message += challenge;
    return message;
}

QByteArray WServerCommands::GetAuthenticationString(const Link &link)
{
    return ask(link, ServerRequest::make(P::GetAuthenticationString)).GetValue(P::KeyAuthString);
}

bool WServerCommands::VerifyUser(const QString &own, const QByteArray &signature, const Link &link)
{
    KvrConfig request = ServerRequest::make(P::AuthenticateUser);
    request.sv(P::KeyUserName, own);
    request.SetValue(P::KeyAuthString, signature);
    return succeeds(link, request);
}

bool WServerCommands::InitTunnelConnection(const QString &own, const QString &peer,
                                           const Link &link, bool serverMode)
{
    KvrConfig request = ServerRequest::make(P::InitTunnelConnection);
    request.sv(P::KeyUserName, own);
    request.sv(P::KeyPeer, peer);
    request.SetValue(P::KeyServerMode, serverMode);
    return succeeds(link, request);
}

bool WServerCommands::AcceptTunnelConnection(const QString &tunnelId, const Link &link)
{
    KvrConfig request = ServerRequest::make(P::AcceptTunnelConnection);
    request.sv(P::KeyTunnelId, tunnelId);
    return succeeds(link, request);
}

KvrConfig WServerCommands::getExchangeCommand(const Link &link, QString *sender)
{
    const KvrConfig reply = ask(link, ServerRequest::make(P::GetExchangeCommand));
    KvrConfig record;
    if (!reply.isEmpty())
        record.DeserializeConfigBinary(reply.GetValue(P::KeyRecord)); // damaged → stays empty
    if (sender)
        *sender = record.isEmpty() ? QString() : reply.gv(P::KeySender);
    return record;
}

KvrConfig WServerCommands::peekExchangeCommand(const Link &link, qint64 after, qint64 *exchangeId, QString *sender)
{
    KvrConfig request = ServerRequest::make(P::GetExchangeCommand);
    request.sv(P::KeyKeep, QStringLiteral("1"));
    if (after > 0)
        request.sv(P::KeyAfter, QString::number(after));
    const KvrConfig reply = ask(link, request);
    KvrConfig record;
    *exchangeId = 0;
    if (!reply.isEmpty() && reply.CheckKeyExist(P::KeyRecord)) {
        const qint64 id = reply.gv(P::KeyExchangeId).toLongLong();
        // A server that knows no "after" hands out the oldest again.
        *exchangeId = id > after ? id : 0;
        record.DeserializeConfigBinary(reply.GetValue(P::KeyRecord)); // damaged → stays empty
    }
    if (sender)
        *sender = record.isEmpty() ? QString() : reply.gv(P::KeySender);
    return record;
}

bool WServerCommands::deleteExchangeCommand(const Link &link, qint64 exchangeId)
{
    KvrConfig request = ServerRequest::make(P::DeleteExchangeCommand);
    request.sv(P::KeyExchangeId, QString::number(exchangeId));
    return succeeds(link, request);
}

bool WServerCommands::sendExchangeCommand(const QString &receiver, const KvrConfig &record,
                                          const QSharedPointer<WivoraAccount> &account)
{
    if (!account || receiver.isEmpty())
        return false;
    const QString own = account->getUserName();
    if (own.isEmpty())
        return false;
    KvrConfig request = ServerRequest::make(P::SendExchangeCommand);
    request.sv(P::KeyReceiver, receiver);
    request.SetValue(P::KeyRecord, record.SerializeConfigBinary());
    return succeeds(ServerLinkRegistry::linkOf(own), request);
}
