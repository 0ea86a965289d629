#include "AccountTexts.h"

#include "WDataStructure.h"
#include "WivoraAccount.h"

namespace {

const QString SectionKey = QStringLiteral("section");
const QString UserNameKey = QStringLiteral("username");

} // namespace

AccountTexts::NewAccount AccountTexts::create(const QString &userName, const QString &password, int tcpPort)
{
    NewAccount result;
    result.keys = WCryptography::GenerateKeyPair();
    if (!result.keys.isValid())
        return NewAccount();
    WivoraAccount account;
    account.setUserName(userName.toLower());
    account.setPassword(password);
    account.setKeyPair(result.keys.publicKey, result.keys.privateKey);
    account.settingsData->setSetting(QStringLiteral("servers/tcpport"), QByteArray::number(tcpPort), true);
    result.text = account.saveAccount();
    return result.text.isEmpty() ? NewAccount() : result;
}

QString AccountTexts::mergeContacts(const QString &text, const QString &password, const QStringList &contacts)
{
    WivoraAccount account;
    if (!account.openAccount(text, password, true))
        return QString();
    for (const QString &name : contacts) {
        const QString contact = name.toLower();
        if (account.contactsData->GetStructureByValue(SectionKey, contact))
            continue;
        auto child = WDataStructure::Pointer::create();
        child->SetValue(SectionKey, contact);
        child->SetValue(UserNameKey, contact);
        account.contactsData->AddStructure(child);
    }
    return account.saveAccount();
}
