#pragma once

#include <QDateTime>
#include <QString>
#include <QTimeZone>

// Shows times on the local clock with the zone's rules read once: asking
// the C library per time looks at the system's zone file every call, which
// a page of thousands of messages cannot afford. Make one per batch of
// times (a page, a search), not one per time.
class WMailLocalClock
{
public:
    WMailLocalClock();

    // The same instant with the local clock's date and time (the local
    // offset that held at that instant).
    QDateTime toLocal(const QDateTime &time) const;
    // As QDateTime::toLocalTime().toString(Qt::TextDate) would show it.
    QString text(const QDateTime &time) const;

private:
    const QTimeZone m_zone;
};
