#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class QSqlQuery;
class QVariant;

// The server's persistent state in one SQLite file: users (salted password
// hash, public key, status, vCard, stored account text, host information),
// contact relations, the relay queues and the demo users' passwords.
//
// User names are stored and looked up in lower case; callers may pass any
// case. The store belongs to the thread that opened it (a QtSql connection
// may not cross threads).
class ServerStore
{
public:
    struct UserSummary
    {
        QString name;
        QString fullName;
        QString city;
        QString country;
    };

    // The store's file in the server's data folder.
    static constexpr char FileName[] = "wivora-server.sqlite";

    ServerStore();
    ~ServerStore();
    ServerStore(const ServerStore &) = delete;
    ServerStore &operator=(const ServerStore &) = delete;

    // Opens (creating when missing) the database file and its schema.
    bool open(const QString &filePath);
    QString lastError() const { return m_lastError; }

    static QString normalisedName(const QString &name) { return name.toLower(); }

    // ---- users
    // False when the name is taken.
    bool addUser(const QString &name, const QString &passwordHash, const QString &publicKey,
                 const QString &accountText);
    bool userExists(const QString &name);
    // 0 for an unknown user.
    int userId(const QString &name);
    QStringList userNames();
    QString passwordHash(const QString &name);
    bool setPasswordHash(const QString &name, const QString &hash);
    QString publicKey(const QString &name);
    // The status the user last chose; -1 for an unknown user.
    int status(const QString &name);
    bool setStatus(const QString &name, int status);
    // The vCard text as the client sent it; empty when none was sent.
    QString vcard(const QString &name);
    // The same as the UTF-8 the store keeps: a reply takes it without the
    // two conversions of a QString, which a large text makes costly.
    QByteArray vcardUtf8(const QString &name);
    bool setVCard(const QString &name, const QString &vcard, const UserSummary &summary);
    // Users whose name or full name contains text, without regard to case.
    QList<UserSummary> findUsers(const QString &text, int limit);

    // ---- stored account text
    QString accountText(const QString &name);
    QByteArray accountTextUtf8(const QString &name);
    // Invalid when the account text was never saved.
    QDateTime accountSaveTime(const QString &name);
    bool setAccountText(const QString &name, const QString &text, const QDateTime &savedAt);

    // ---- host information (kept across reconnects)
    bool setHostInformation(const QString &name, const QString &addresses, int port);
    // False when the user never sent any.
    bool hostInformation(const QString &name, QString *addresses, int *port);

    // ---- contact relations: owner has contact in its contacts
    // merged false: the contact still has to be written into the owner's
    // stored account text. An existing relation is left as it is.
    bool addContact(const QString &owner, const QString &contact, bool merged);
    bool removeContact(const QString &owner, const QString &contact);
    QStringList contactsOf(const QString &owner);
    // The users who have name in their contacts.
    QStringList watchersOf(const QString &name);
    QStringList unmergedContactsOf(const QString &owner);
    bool markContactsMerged(const QString &owner, const QStringList &contacts);

    // ---- relay queues (first in, first out per receiver)
    // sender: the user whose main link handed the record in.
    bool appendRelay(const QString &receiver, const QString &sender, const QByteArray &record);
    // Removes and returns the oldest record and, when asked, its sender (empty
    // for records queued before senders were kept); empty when the queue is empty.
    QByteArray takeRelay(const QString &receiver, QString *sender = nullptr);
    // The oldest record with an id above after, left in the queue, with its
    // id (and sender when asked); empty when there is none.
    QByteArray peekRelay(const QString &receiver, qint64 after, qint64 *id, QString *sender = nullptr);
    // Removes the record with that id from receiver's queue; true when it is
    // not there (any more).
    bool deleteRelay(const QString &receiver, qint64 id);
    int relayCount(const QString &receiver);
    // The bytes of the records queued for receiver, and of those sender queued.
    qint64 relayBytesTo(const QString &receiver);
    qint64 relayBytesFrom(const QString &sender);

    // ---- demo users
    bool setDemoPassword(const QString &name, const QString &password);
    QString demoPassword(const QString &name);

private:
    bool addRelaySenderColumn();
    bool addRelayTotals();
    bool exec(QSqlQuery &query);
    QString userText(const QString &column, const QString &name);
    QByteArray userTextUtf8(const QString &column, const QString &name);
    bool setUserValue(const QString &column, const QString &name, const QVariant &value);
    QStringList names(const QString &sql, const QString &name);
    qint64 number(const QString &sql, const QString &name);

    QString m_connectionName;
    QString m_lastError;
};
