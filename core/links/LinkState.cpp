#include "LinkState.h"

#include <QMutexLocker>
#include <QUuid>

#include <chrono>

LinkState::LinkState(int connectionType)
    : m_connectionType(connectionType)
    , m_lastActivityMs(nowMs())
{
}

qint64 LinkState::nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QString LinkState::user() const
{
    QMutexLocker lock(&m_mutex);
    return m_user;
}

void LinkState::setUser(const QString &user)
{
    QMutexLocker lock(&m_mutex);
    m_user = user;
}

void LinkState::noteSent(const KvrConfig &record)
{
    const QByteArray command = record.GetValue(QStringLiteral("command"));
    if (command != "ping" && command != "pong")
        m_lastActivityMs = nowMs();
}

int LinkState::idleSeconds() const
{
    return int((nowMs() - m_lastActivityMs) / 1000);
}

QByteArray LinkState::authString() const
{
    QMutexLocker lock(&m_mutex);
    return m_authString;
}

void LinkState::setAuthString(const QByteArray &challenge)
{
    QMutexLocker lock(&m_mutex);
    m_authString = challenge;
}

void LinkState::createConnectionID()
{
    QMutexLocker lock(&m_mutex);
    m_connectionID = QUuid::createUuid().toString();
}

QString LinkState::connectionID() const
{
    QMutexLocker lock(&m_mutex);
    return m_connectionID;
}

void LinkState::setArrivalRoute(ArrivalRoute route)
{
    QMutexLocker lock(&m_mutex);
    m_arrivalRoute = std::move(route);
}

bool LinkState::routeOnArrival(const QString &id, const QString &command) const
{
    ArrivalRoute route;
    {
        QMutexLocker lock(&m_mutex);
        route = m_arrivalRoute;
    }
    return route && route(id, command);
}
