#pragma once

#include <QSharedPointer>

class WivoraAccount;

// Where an engine finds the account whose shares it serves. Both engines of
// the plug-in share one provider, so they see one tree.
class IAccountProvider
{
public:
    virtual ~IAccountProvider() = default;
    // Never null: nobody logged in shows as an account with an empty name.
    virtual QSharedPointer<WivoraAccount> getAccount() = 0;
    virtual void saveAccount() = 0;
    // Chooses the virtual-path prefix: "vls" when true, "vrs" otherwise.
    virtual bool isLocal() = 0;
};
