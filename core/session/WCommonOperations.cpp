#include "WCommonOperations.h"

#include "AccountKeys.h"
#include "SessionState.h"

#include <IWSignalDispatcher.h>
#include <NetworkUtilities.h>
#include <PSettings.h>
#include <PrivateFiles.h>
#include <TcpConnection.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QComboBox>
#include <QFile>
#include <QHostAddress>
#include <QIcon>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>

namespace {

using namespace AccountKeys;

std::atomic<SessionState *> s_session{nullptr};
std::atomic<IWSignalDispatcher *> s_dispatcher{nullptr};

const QString TcpPortSetting = QStringLiteral("servers/tcpport");
const QString ExternalIpSetting = QStringLiteral("externalIp");
const QString SaveTimeSetting = QStringLiteral("lastAccountSaveTime");
const QString CountryTable = QStringLiteral(":/texts/Resources/countrycodes.csv");
const QString FlagResourcePrefix = QStringLiteral(":/Flags/Resources/");

// The addresses peers may reach this machine at, each followed by ",". A main
// server on this very machine serves only clients on it: they reach each other
// on the loopback address, and no other address is handed out.
QString hostAddresses(const TcpConnection &serverLink)
{
    if (QHostAddress(serverLink.peerAddress()).isLoopback())
        return QStringLiteral("127.0.0.1,");
    QString joined;
    const QStringList addresses =
        NetworkUtilities::getLocalAddresses().split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &address : addresses)
        joined += address + QLatin1Char(',');
    return joined;
}

} // namespace

void WCommonOperations::setContext(SessionState *session, IWSignalDispatcher *dispatcher)
{
    s_session = session;
    s_dispatcher = dispatcher;
}

void WCommonOperations::setUserStatus(int status)
{
    SessionState *session = s_session;
    if (!session)
        return;
    const QSharedPointer<WivoraAccount> account = session->account();
    account->settingsData->setSetting(UserStatusSetting, QByteArray::number(status), true);
    account->setStatus(status);
    if (IWSignalDispatcher *dispatcher = s_dispatcher)
        dispatcher->userStatusChanged(status);
    WServerCommands::UpdateUserStatus(status, session->serverLink());
    saveAccount(true);
}

bool WCommonOperations::saveAccount(bool toServer)
{
    SessionState *session = s_session;
    if (!session)
        return false;
    const QSharedPointer<WivoraAccount> account = session->account();
    const QString user = SessionState::canonicalUserName(account->getUserName());
    if (user.isEmpty())
        return false; // nobody logged in: there is no file to write

    QString text;
    const bool written = writeAccountFile(user, account, &text);
    if (!toServer)
        return written;

    const QSharedPointer<TcpConnection> link = session->serverLink();
    if (text.isEmpty() || !WServerCommands::saveAccount(text, link))
        return false;
    // Login compares this with the server's time to pick the newer copy; an
    // unknown time must not be stored as one.
    const QDateTime saved = WServerCommands::getLastAccountSaveTime(link);
    if (saved.isValid())
        PSettings::SetValue(SaveTimeSetting + QLatin1Char('/') + user, saved);
    return written;
}

bool WCommonOperations::writeAccountFile(const QString &user,
                                         const QSharedPointer<WivoraAccount> &account, QString *text)
{
    // One lock for every save: the text is taken under it, so a later save
    // never loses to an earlier one that is still writing.
    static QMutex fileMutex;
    QMutexLocker lock(&fileMutex);

    *text = account->saveAccount();
    if (text->isEmpty())
        return false; // no password yet: an empty text would wipe the file
    const QString folder = SessionState::ensureUserFolder(user);
    if (folder.isEmpty())
        return false;
    return PrivateFiles::write(folder + QLatin1Char('/') + AccountFileName, text->toLatin1());
}

bool WCommonOperations::changePassword(const QString &newPassword)
{
    SessionState *session = s_session;
    if (!session || newPassword.isEmpty())
        return false;
    const QSharedPointer<WivoraAccount> account = session->account();
    if (account->getUserName().isEmpty())
        return false;

    // The server first: the saved account then opens with the password the
    // server accepts, whatever the server answers. The bytes are the form in
    // which the account keeps a password (UTF-8).
    if (!WServerCommands::setPassword(newPassword.toUtf8(), session->serverLink()))
        return false;
    account->setPassword(newPassword);
    if (account->CheckKeyExist(ReconnectPasswordKey))
        account->sv(ReconnectPasswordKey, newPassword); // reconnects log in with it
    saveAccount(true);
    return true;
}

void WCommonOperations::fillCountryComboBox(QComboBox *box)
{
    if (!box)
        return;
    QFile table(CountryTable);
    if (!table.open(QIODevice::ReadOnly))
        return;
    while (!table.atEnd()) {
        const QStringList parts =
            QString::fromUtf8(table.readLine()).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        if (parts.size() < 2)
            continue;
        const QString code = parts.at(0);
        const QString flag = FlagResourcePrefix + code + QStringLiteral(".png");
        // Not every country has a flag image: those get no icon.
        const QIcon icon = QFile::exists(flag) ? QIcon(flag) : QIcon();
        box->addItem(icon, parts.at(1).trimmed(), code);
    }
}

bool WCommonOperations::sendHostInformation()
{
    SessionState *session = s_session;
    if (!session)
        return false;
    const QSharedPointer<WivoraAccount> account = session->account();
    const QSharedPointer<TcpConnection> link = session->serverLink();
    // The port really listened on, which differs from the setting when that
    // one was taken.
    const int port = session->listeningPort() != 0 ? session->listeningPort() : listeningPort(account);
    const QString externalIp = WServerCommands::SendHostInformation(hostAddresses(*link), port, link);
    if (externalIp.isEmpty())
        return false;
    account->settingsData->setSetting(ExternalIpSetting, externalIp.toLatin1(), true);
    return true;
}

int WCommonOperations::listeningPort(const QSharedPointer<WivoraAccount> &account)
{
    if (!account)
        return DefaultTcpPort;
    bool ok = false;
    const int port = account->settingsData->getSetting(TcpPortSetting).trimmed().toInt(&ok);
    return ok && port > 0 && port <= 65535 ? port : DefaultTcpPort;
}

QDateTime WCommonOperations::lastAccountSaveTime(const QString &user)
{
    const QString key = SaveTimeSetting + QLatin1Char('/') + SessionState::canonicalUserName(user);
    const QDateTime own = PSettings::GetValue(key).toDateTime();
    return own.isValid() ? own : PSettings::GetValue(SaveTimeSetting).toDateTime();
}
