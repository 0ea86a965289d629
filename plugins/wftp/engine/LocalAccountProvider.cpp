#include "LocalAccountProvider.h"

#include <IWHost.h>
#include <WivoraAccount.h>

LocalAccountProvider::LocalAccountProvider(IWHost *host) : m_host(host) {}

QSharedPointer<WivoraAccount> LocalAccountProvider::getAccount()
{
    QSharedPointer<WivoraAccount> account = m_host ? m_host->getAccount() : nullptr;
    return account ? account : QSharedPointer<WivoraAccount>::create();
}

void LocalAccountProvider::saveAccount()
{
    // Never write while logged out: the empty account would replace the user's.
    if (m_host && !getAccount()->getUserName().isEmpty())
        m_host->saveAccount();
}
