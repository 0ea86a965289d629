#include "SessionState.h"

#include <PSettings.h>
#include <PrivateFiles.h>
#include <TcpConnection.h>
#include <WivoraAccount.h>

#include <QMutexLocker>

namespace {

const QString UsersFolder = QStringLiteral("/pluginsstorage");

} // namespace

SessionState::SessionState()
    : m_account(QSharedPointer<WivoraAccount>::create()),
      m_serverLink(QSharedPointer<TcpConnection>::create())
{
}

SessionState::~SessionState() = default;

QSharedPointer<WivoraAccount> SessionState::account() const
{
    QMutexLocker lock(&m_mutex);
    return m_account;
}

void SessionState::setAccount(const QSharedPointer<WivoraAccount> &account)
{
    if (!account)
        return;
    QMutexLocker lock(&m_mutex);
    m_account = account;
}

void SessionState::resetAccount()
{
    setAccount(QSharedPointer<WivoraAccount>::create());
}

QString SessionState::userName() const
{
    return canonicalUserName(account()->getUserName());
}

QSharedPointer<WDataStructure> SessionState::contact(const QString &user) const
{
    const QString name = canonicalUserName(user);
    if (name.isEmpty())
        return {};
    return account()->contactsData->GetStructureByValue(QStringLiteral("section"), name);
}

QString SessionState::canonicalUserName(const QString &user)
{
    return user.trimmed().toLower();
}

QString SessionState::userFolder(const QString &user)
{
    return PSettings::GetStoragePath(UsersFolder + QLatin1Char('/') + canonicalUserName(user));
}

QString SessionState::ensureUserFolder(const QString &user)
{
    const QString folder = userFolder(user);
    return PrivateFiles::makeFolder(folder) ? folder : QString();
}

void SessionState::repairStorage()
{
    PrivateFiles::repair(PSettings::GetStoragePath(), false);
    PrivateFiles::repair(PSettings::GetStoragePath(UsersFolder), true);
}
