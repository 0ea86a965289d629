#pragma once

#include <QMutex>
#include <QSharedPointer>
#include <QString>

#include <atomic>

class TcpConnection;
class WDataStructure;
class WivoraAccount;

// What many threads share about the session: the logged-in account (a fresh
// empty one while nobody is logged in; replaced as a whole at logout, so the
// pointer itself is guarded) and the one main-server link of the process.
//
// Every file of a user lives in one folder, named by the user name in lower
// case, because the server matches names without regard to case: "Alice" and
// "alice" are one account with one folder.
class SessionState
{
public:
    SessionState();
    ~SessionState();
    SessionState(const SessionState &) = delete;
    SessionState &operator=(const SessionState &) = delete;

    // Never null.
    QSharedPointer<WivoraAccount> account() const;
    void setAccount(const QSharedPointer<WivoraAccount> &account);
    // Replaces the account with a fresh empty one (logout).
    void resetAccount();

    // The same object for the whole process.
    QSharedPointer<TcpConnection> serverLink() const { return m_serverLink; }

    // The logged-in user's name in lower case; empty while logged out.
    QString userName() const;
    // The user's record in the logged-in account's contacts (a direct child
    // of the contacts tree whose "section" is the name); null for anyone else.
    QSharedPointer<WDataStructure> contact(const QString &user) const;
    bool isContact(const QString &user) const { return !contact(user).isNull(); }

    // The port this client listens on for peers' links, which the server
    // announces to them; 0 while it listens on none.
    quint16 listeningPort() const { return m_listeningPort; }
    void setListeningPort(quint16 port) { m_listeningPort = port; }

    static QString canonicalUserName(const QString &user);
    // The storage path of "pluginsstorage/<user in lower case>"; creates nothing.
    static QString userFolder(const QString &user);
    // The user's folder, created owner-only when missing; empty when it
    // cannot be made.
    static QString ensureUserFolder(const QString &user);
    // At start-up: makes the storage root and every user's folder, with all
    // below it, owner-only (older versions left them readable by all).
    static void repairStorage();

private:
    mutable QMutex m_mutex;
    QSharedPointer<WivoraAccount> m_account;
    const QSharedPointer<TcpConnection> m_serverLink;
    std::atomic<quint16> m_listeningPort{0};
};
