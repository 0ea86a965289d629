#include "UpdateTask.h"

#include "ClientVersion.h"
#include "InstallerOffer.h"
#include "MainClass.h"
#include "StagedDownload.h"

#include <IWPlugin.h>
#include <MainServerCommands.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

namespace {
// The longest a stop waits for the task to notice between rounds.
const int RoundWaitStepMs = 50;
} // namespace

UpdateTask::UpdateTask(int roundIntervalMs) : m_roundIntervalMs(roundIntervalMs) {}

void UpdateTask::stop()
{
    m_stop = true;
    QMutexLocker lock(&m_downloadMutex);
    if (m_download)
        m_download->cancel();
}

void UpdateTask::run()
{
    // A monotonic clock: setting the wall clock back never stalls the wait.
    QElapsedTimer roundClock;
    while (!m_stop) {
        roundClock.start();
        round();
        while (!m_stop && roundClock.elapsed() < m_roundIntervalMs)
            QThread::msleep(RoundWaitStepMs);
    }
}

void UpdateTask::round()
{
    const QString installer = MainServerCommands::checkWivoraUpdate(QLatin1String(ClientVersion::Platform),
                                                                    ClientVersion::Build);
    // A request may have outlasted the session: nothing of it is touched then.
    if (m_stop)
        return;
    if (!installer.isEmpty())
        stage(installer, InstallerOffer::installerPath());
    for (const PluginRecord &record : MainClass::instance()->pluginManager()->plugins()) {
        auto *plugin = qobject_cast<IWPlugin *>(record.instance);
        if (!plugin || m_stop)
            continue;
        const int version = plugin->getPluginVersion();
        const QString name = plugin->getPluginName();
        const QString address =
            MainServerCommands::checkPluginUpdate(name, QLatin1String(ClientVersion::Platform), version);
        const QString fileName = StagedDownload::fileNameOf(QUrl(address));
        if (!fileName.isEmpty() && !m_stop)
            stage(address, WPluginManager::updateFolder() + QLatin1Char('/') + fileName);
    }
}

void UpdateTask::stage(const QString &address, const QString &target)
{
    // Staged once per file: a later round leaves it alone.
    if (QFile::exists(target))
        return;
    QDir().mkpath(QFileInfo(target).path());
    StagedDownload download;
    connect(&download, &StagedDownload::progress, this, &UpdateTask::signalProgress, Qt::DirectConnection);
    {
        QMutexLocker lock(&m_downloadMutex);
        if (m_stop)
            return;
        m_download = &download;
    }
    emit signalAddProgressBar();
    download.fetch(QUrl(address), target);
    {
        QMutexLocker lock(&m_downloadMutex);
        m_download = nullptr;
    }
    emit signalRemoveProgressbar();
}
