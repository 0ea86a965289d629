#pragma once

#include "IAccountProvider.h"

class IWHost;

// The logged-in account of the program that loaded the plug-in.
class LocalAccountProvider : public IAccountProvider
{
public:
    explicit LocalAccountProvider(IWHost *host);
    QSharedPointer<WivoraAccount> getAccount() override;
    void saveAccount() override;
    bool isLocal() override { return true; }

private:
    IWHost *m_host;
};
