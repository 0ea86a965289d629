#include "ContactAdder.h"

#include "MainClass.h"

#include <MainServerCommands.h>
#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

bool ContactAdder::isOwnUser(const QString &user)
{
    const QSharedPointer<WivoraAccount> account = MainClass::instance()->getAccount();
    return account && user.compare(account->getUserName(), Qt::CaseInsensitive) == 0;
}

bool ContactAdder::add(const QString &user, const QString &fullName, const QString &city,
                       const QSharedPointer<WDataStructure> &vcard)
{
    const QSharedPointer<WivoraAccount> account = MainClass::instance()->getAccount();
    if (!account || account->getUserName().isEmpty() || user.isEmpty() || isOwnUser(user)
        || user.contains(QLatin1Char('/')))
        return false;
    const QSharedPointer<WDataStructure> contacts = account->contactsData;
    contacts->setSetting(user + QStringLiteral("/username"), user.toLatin1());
    contacts->setSetting(user + QStringLiteral("/fullName"), fullName.toUtf8());
    contacts->setSetting(user + QStringLiteral("/city"), city.toUtf8());
    if (vcard) {
        vcard->sv(QStringLiteral("section"), QStringLiteral("vcard"));
        if (const QSharedPointer<WDataStructure> contact = contacts->GetStructureByValue(QStringLiteral("section"), user)) {
            while (contact->DeleteStructure(QStringLiteral("vcard"))) {
            }
            contact->AddStructure(vcard);
        }
    }
    const KvrConfig status = MainServerCommands::getUserStatus(user);
    contacts->setSetting(user + QStringLiteral("/status"), status.GetValue(QStringLiteral("user::") + user), false);
    WServerCommands::ConnectToUser(account->getUserName(), user);
    return true;
}
