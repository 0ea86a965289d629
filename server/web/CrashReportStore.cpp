#include "CrashReportStore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QSaveFile>
#include <QUuid>

namespace {

Q_LOGGING_CATEGORY(lcCrashReports, "wivora.web")

const QString Suffix = QStringLiteral(".dmp");
// The form's other fields and the Base64 padding around a report.
constexpr qint64 FormOverheadBytes = 4096;

} // namespace

CrashReportStore::CrashReportStore(const QString &folder, qint64 maxReportBytes, qint64 maxFolderBytes,
                                   int perAddressPerMinute)
    : m_folder(folder)
    , m_maxReportBytes(maxReportBytes)
    , m_maxFolderBytes(maxFolderBytes)
    , m_rate(perAddressPerMinute, 60 * 1000)
{
}

bool CrashReportStore::bodyMayFit(qint64 bodyBytes) const
{
    // Base64 makes four characters of three bytes, and clients write each
    // "+" of it as three.
    return bodyBytes <= (m_maxReportBytes + 2) / 3 * 4 * 3 + FormOverheadBytes;
}

bool CrashReportStore::admit(const QString &address)
{
    if (m_rate.allow(address, QDeadlineTimer::current().deadline()))
        return true;
    qCWarning(lcCrashReports).noquote() << "crash report from" << address << "refused: too many a minute";
    return false;
}

CrashReportStore::Result CrashReportStore::store(const QByteArray &dump)
{
    if (dump.size() > m_maxReportBytes)
        return Result::TooLarge;

    QMutexLocker locker(&m_folderMutex);
    // The file's name is ours: nothing from the request reaches the disk path.
    const QString name = QUuid::createUuid().toString(QUuid::Id128) + Suffix;
    QSaveFile file(QDir(m_folder).filePath(name));
    if (!QDir().mkpath(m_folder) || !file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || file.write(dump) != dump.size()
        || !file.commit()) {
        qCWarning(lcCrashReports) << "cannot store crash dump in" << m_folder << file.errorString();
        return Result::Failed;
    }
    dropOldestBeyondCap();
    return Result::Stored;
}

void CrashReportStore::dropOldestBeyondCap()
{
    QFileInfoList reports = QDir(m_folder).entryInfoList({QLatin1Char('*') + Suffix}, QDir::Files | QDir::NoSymLinks,
                                                         QDir::Time | QDir::Reversed);
    qint64 total = 0;
    for (const QFileInfo &report : reports)
        total += report.size();
    // Oldest first; the one just written is the newest and goes last.
    for (const QFileInfo &report : reports) {
        if (total <= m_maxFolderBytes)
            break;
        if (QFile::remove(report.filePath()))
            total -= report.size();
    }
}
