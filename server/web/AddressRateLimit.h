#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QVector>
#include <QtGlobal>

// At most a number of events per address within a sliding window. Safe to
// use from several threads.
class AddressRateLimit
{
public:
    AddressRateLimit(int maxEvents, qint64 windowMs);

    // Records an event of address at nowMs (a monotonic clock) and tells
    // whether it is within the limit; an event over the limit is not recorded.
    bool allow(const QString &address, qint64 nowMs);

private:
    void forgetIdle(qint64 nowMs);

    const int m_maxEvents;
    const qint64 m_windowMs;
    QMutex m_mutex;
    QHash<QString, QVector<qint64>> m_events; // per address, oldest first
};
