#include "ShareRights.h"

#include <WDataStructure.h>

namespace ShareRights {

bool flagSet(const WDataStructure &record, const QString &key)
{
    return record.gv(key).trimmed().toLongLong() != 0;
}

bool isPast(const QString &isoDateTime, const QDateTime &now)
{
    const QDateTime end = QDateTime::fromString(isoDateTime, Qt::ISODate);
    return !end.isValid() || end < now;
}

bool hasExpired(const QSharedPointer<WDataStructure> &record, const QDateTime &now)
{
    return record->gv(QStringLiteral("permanent")) == QLatin1String("0")
        && isPast(record->gv(QStringLiteral("validTo")), now);
}

int ofRecord(const QSharedPointer<WDataStructure> &record, const QDateTime &now)
{
    if (!record || hasExpired(record, now))
        return None;
    if (flagSet(*record, QStringLiteral("full")))
        return Full;
    int rights = None;
    if (flagSet(*record, QStringLiteral("read")))
        rights |= Read;
    if (flagSet(*record, QStringLiteral("write")))
        rights |= Write;
    if (flagSet(*record, QStringLiteral("delete")))
        rights |= Delete;
    return rights;
}

} // namespace ShareRights
