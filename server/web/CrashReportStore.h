#pragma once

#include "AddressRateLimit.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

// The reports folder of uploaded crash dumps, kept within bounds: one report's
// size, the folder's total (the oldest reports are dropped to make room) and
// the reports one address may send a minute. Safe from several threads.
class CrashReportStore
{
public:
    enum class Result { Stored, TooLarge, Failed };

    CrashReportStore(const QString &folder, qint64 maxReportBytes, qint64 maxFolderBytes, int perAddressPerMinute);

    // Counts a report of address; false when it is one too many this minute.
    bool admit(const QString &address);
    Result store(const QByteArray &dump);
    // Whether a request body of this size could hold a report within the cap
    // (without decoding it).
    bool bodyMayFit(qint64 bodyBytes) const;

private:
    void dropOldestBeyondCap();

    const QString m_folder;
    const qint64 m_maxReportBytes;
    const qint64 m_maxFolderBytes;
    AddressRateLimit m_rate;
    QMutex m_folderMutex; // one writer at a time keeps the total honest
};
