#pragma once

#include <QString>
#include <QStringList>

class ServerStore;

// The administrator's operations on the user store: creating users, making
// two users contacts of each other, and the demo users.
class UserAdministration
{
public:
    explicit UserAdministration(ServerStore &store);

    // A user with a fresh key pair and an initial account text sealed with
    // password. Names are lower-cased; letters, digits, ".", "_" and "-".
    bool addUser(const QString &name, const QString &password);
    // Each becomes a contact of the other; their account texts receive the
    // contact at their next login.
    bool addContact(const QString &first, const QString &second);
    // One line per user: name and contacts.
    QStringList describeUsers();
    // Creates the demo users "alice" and "bob" (contacts of each other, random
    // passwords) unless they exist; "name password" lines for both.
    QStringList ensureDemoUsers();

    QString lastError() const { return m_lastError; }

    static bool isValidUserName(const QString &name);
    // The rule isValidUserName() checks, in words.
    static QString userNameRule();
    static constexpr int FirstClientPort = 15000;

private:
    bool fail(const QString &message);

    ServerStore &m_store;
    QString m_lastError;
};
