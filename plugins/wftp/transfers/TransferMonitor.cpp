#include "TransferMonitor.h"

#include <WFtpMain.h>
#include <WUtilities.h>

QString TransferMonitor::formatAmount(qint64 bytes)
{
    return WUtilities::sizeText(bytes);
}

QString TransferMonitor::text(const QString &fileId) const
{
    const auto found = m_entries.constFind(fileId);
    if (found == m_entries.constEnd())
        return QString();
    return WFtpMain::shownPath(found->path) + QLatin1Char(' ') + (found->lastWasWrite ? tr("written:") : tr("read:")) + QLatin1Char(' ') +
           formatAmount(found->lastWasWrite ? found->bytesWritten : found->bytesRead);
}

void TransferMonitor::addFile(const QString &fileId, const QString &path, const QString &user)
{
    if (m_entries.contains(fileId))
        return;
    m_entries.insert(fileId, Entry{path, user});
    m_order.append(fileId);
    emit fileAdded(fileId);
}

void TransferMonitor::removeFile(const QString &fileId)
{
    if (m_entries.remove(fileId) == 0)
        return;
    m_order.removeOne(fileId);
    emit fileRemoved(fileId);
}

void TransferMonitor::addRead(const QString &fileId, qint64 bytes)
{
    const auto found = m_entries.find(fileId);
    if (found == m_entries.end() || bytes < 0)
        return;
    found->bytesRead += bytes;
    found->lastWasWrite = false;
    emit fileChanged(fileId);
}

void TransferMonitor::addWrite(const QString &fileId, qint64 bytes)
{
    const auto found = m_entries.find(fileId);
    if (found == m_entries.end() || bytes < 0)
        return;
    found->bytesWritten += bytes;
    found->lastWasWrite = true;
    emit fileChanged(fileId);
}
