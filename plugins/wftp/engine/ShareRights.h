#pragma once

#include <QDateTime>
#include <QSharedPointer>

class WDataStructure;

// The rights a permitted-user record grants, as independent bits: a grant of
// read and delete does not include write.
namespace ShareRights {

enum : int {
    None = 0,
    Read = 1,
    Write = 2,
    Delete = 4,
    Full = Read | Write | Delete,
};

// A flag of a record ("read", "permanent", ...): stored as an integer, any
// non-zero value set; text that is no integer is clear.
bool flagSet(const WDataStructure &record, const QString &key);

// The record's rights; None when it has expired at `now` (a record whose
// "permanent" is "0" lasts until its "validTo"; an unreadable date has passed).
int ofRecord(const QSharedPointer<WDataStructure> &record, const QDateTime &now);
bool hasExpired(const QSharedPointer<WDataStructure> &record, const QDateTime &now);
// True when the ISO date-time text is unreadable or earlier than now.
bool isPast(const QString &isoDateTime, const QDateTime &now);

} // namespace ShareRights
