#include "UserAdministration.h"

#include "AccountTexts.h"
#include "PasswordHash.h"
#include "ServerStore.h"
#include "WCryptography.h"

#include <QRegularExpression>

namespace {

const QStringList DemoUsers = {QStringLiteral("alice"), QStringLiteral("bob")};

QString randomPassword()
{
    return QString::fromLatin1(
        WCryptography::GenerateRandom(12).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

UserAdministration::UserAdministration(ServerStore &store)
    : m_store(store)
{
}

bool UserAdministration::fail(const QString &message)
{
    m_lastError = message;
    return false;
}

bool UserAdministration::isValidUserName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9][a-z0-9._-]{0,63}$"));
    return pattern.match(name.toLower()).hasMatch();
}

QString UserAdministration::userNameRule()
{
    return QStringLiteral("A user name is 1 to 64 characters: letters a-z (any case), digits, \".\", \"_\" "
                          "and \"-\", beginning with a letter or a digit.");
}

bool UserAdministration::addUser(const QString &name, const QString &password)
{
    const QString user = name.toLower();
    if (!isValidUserName(user))
        return fail(QStringLiteral("invalid user name \"%1\". %2").arg(name, userNameRule()));
    if (password.isEmpty())
        return fail(QStringLiteral("empty password"));
    if (m_store.userExists(user))
        return fail(QStringLiteral("user exists: %1").arg(user));

    // Users are never deleted, so the count gives each a port of its own.
    const int tcpPort = FirstClientPort + m_store.userNames().size() + 1;
    const AccountTexts::NewAccount account = AccountTexts::create(user, password, tcpPort);
    const QString hash = PasswordHash::create(password.toUtf8());
    if (!account.isValid() || hash.isEmpty())
        return fail(QStringLiteral("could not create the account of %1").arg(user));
    if (!m_store.addUser(user, hash, account.keys.publicKey, account.text))
        return fail(m_store.lastError());
    return true;
}

bool UserAdministration::addContact(const QString &first, const QString &second)
{
    const QString a = first.toLower();
    const QString b = second.toLower();
    if (a == b)
        return fail(QStringLiteral("a user cannot be its own contact"));
    for (const QString &user : {a, b}) {
        if (!m_store.userExists(user))
            return fail(QStringLiteral("unknown user: %1").arg(user));
    }
    if (!m_store.addContact(a, b, false) || !m_store.addContact(b, a, false))
        return fail(m_store.lastError());
    return true;
}

QStringList UserAdministration::describeUsers()
{
    QStringList lines;
    for (const QString &user : m_store.userNames()) {
        const QStringList contacts = m_store.contactsOf(user);
        lines << (contacts.isEmpty() ? user
                                     : QStringLiteral("%1 (contacts: %2)").arg(user, contacts.join(QStringLiteral(", "))));
    }
    return lines;
}

QStringList UserAdministration::ensureDemoUsers()
{
    QStringList lines;
    for (const QString &user : DemoUsers) {
        if (!m_store.userExists(user)) {
            const QString password = randomPassword();
            if (!addUser(user, password) || !m_store.setDemoPassword(user, password))
                return QStringList();
        }
        const QString password = m_store.demoPassword(user);
        lines << (password.isEmpty() ? QStringLiteral("%1 (made by adduser: password not kept)").arg(user)
                                     : QStringLiteral("%1 %2").arg(user, password));
    }
    if (!addContact(DemoUsers.at(0), DemoUsers.at(1)))
        return QStringList();
    return lines;
}
