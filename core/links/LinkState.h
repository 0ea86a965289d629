#pragma once

#include <KvrConfig.h>

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <atomic>
#include <functional>

// The bookkeeping a user link keeps beside its transport (see IWConnection):
// who is on the other end, what kind of link it is, when this side last sent
// something useful, whether it is closed and whether the peer proved its name.
// Safe from any thread.
class LinkState
{
public:
    explicit LinkState(int connectionType);

    QString user() const;
    void setUser(const QString &user);
    int connectionType() const { return m_connectionType; }
    void setConnectionType(int type) { m_connectionType = type; }

    // Called for every record this side sends: keep-alives ("ping", "pong")
    // do not count as activity, so a link that only keeps itself alive still
    // becomes idle.
    void noteSent(const KvrConfig &record);
    // On a monotonic clock: clock changes neither close links nor keep them.
    int idleSeconds() const;

    bool isClosed() const { return m_closed; }
    // Never cleared.
    void setClosed() { m_closed = true; }

    QByteArray authString() const;
    void setAuthString(const QByteArray &challenge);
    bool isAuthenticated() const { return m_authenticated; }
    void setAuthenticated(bool authenticated) { m_authenticated = authenticated; }

    void createConnectionID();
    QString connectionID() const;

    // Takes an announced record where it was read, before the link's filter
    // hears of it; true when it took the record. Called on the thread that
    // announces records and must not block there.
    using ArrivalRoute = std::function<bool(const QString &id, const QString &command)>;
    void setArrivalRoute(ArrivalRoute route);
    // False when there is no route or it left the record to the filter.
    bool routeOnArrival(const QString &id, const QString &command) const;

private:
    static qint64 nowMs();

    mutable QMutex m_mutex;
    QString m_user;
    QByteArray m_authString;
    QString m_connectionID;
    ArrivalRoute m_arrivalRoute;
    std::atomic<int> m_connectionType;
    std::atomic<qint64> m_lastActivityMs;
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_authenticated{false};
};
