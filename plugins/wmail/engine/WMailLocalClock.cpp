#include "WMailLocalClock.h"

#include <QLocale>

WMailLocalClock::WMailLocalClock() : m_zone(QTimeZone::systemTimeZone())
{
}

QDateTime WMailLocalClock::toLocal(const QDateTime &time) const
{
    const QDateTime utc = time.toUTC();
    return utc.toOffsetFromUtc(m_zone.isValid() ? m_zone.offsetFromUtc(utc) : 0);
}

QString WMailLocalClock::text(const QDateTime &time) const
{
    if (!time.isValid())
        return QString();
    // Qt::TextDate's form without the offset a non-local time would add.
    static const QString textDate = QStringLiteral("ddd MMM d hh:mm:ss yyyy");
    const QDateTime local = toLocal(time);
    return QLocale::c().toString(QDateTime(local.date(), local.time(), Qt::UTC), textDate);
}
