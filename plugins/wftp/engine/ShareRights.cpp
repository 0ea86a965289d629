#include "ShareRights.h"

#include <WDataStructure.h>

namespace ShareRights {

namespace {

// Flags read as integers, any non-zero value set; text that is no integer is 0.
bool flagSet(const WDataStructure &record, const char *key)
{
    return record.gv(QLatin1String(key)).trimmed().toLongLong() != 0;
}

} // namespace

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
    if (flagSet(*record, "full"))
        return Full;
    int rights = None;
    if (flagSet(*record, "read"))
        rights |= Read;
    if (flagSet(*record, "write"))
        rights |= Write;
    if (flagSet(*record, "delete"))
        rights |= Delete;
    return rights;
}

} // namespace ShareRights
