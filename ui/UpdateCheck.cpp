#include "UpdateCheck.h"

#include "ClientVersion.h"
#include "InstallerOffer.h"
#include "MainClass.h"
#include "StagedDownload.h"

#include <IWPlugin.h>
#include <MainServerCommands.h>
#include <ThreadUtilities.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QtConcurrent>

namespace {
// The longest a stop waits for the task to notice between rounds.
const int WaitStepMs = 50;
} // namespace

UpdateCheck::UpdateCheck(int roundIntervalMs, QObject *parent)
    : QObject(parent)
    , m_roundIntervalMs(roundIntervalMs)
{
}

UpdateCheck::~UpdateCheck()
{
    stop();
}

void UpdateCheck::start()
{
    if (m_task.isRunning())
        return;
    m_stop = false;
    ensureThreadPoolCapacity();
    m_task = QtConcurrent::run([this] { run(); });
}

void UpdateCheck::stop()
{
    m_stop = true;
    {
        QMutexLocker lock(&m_downloadMutex);
        if (m_download)
            m_download->cancel();
    }
    m_task.waitForFinished();
}

void UpdateCheck::run()
{
    // A monotonic clock: setting the wall clock back never stalls the wait.
    QElapsedTimer roundClock;
    while (!m_stop) {
        roundClock.start();
        round();
        while (!m_stop && roundClock.elapsed() < m_roundIntervalMs)
            QThread::msleep(WaitStepMs);
    }
}

void UpdateCheck::round()
{
    const QString installer = MainServerCommands::checkWivoraUpdate(QLatin1String(ClientVersion::Platform),
                                                                    ClientVersion::Build);
    if (!installer.isEmpty() && !m_stop)
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

void UpdateCheck::stage(const QString &address, const QString &target)
{
    // Staged once per file: a later round leaves it alone.
    if (QFile::exists(target))
        return;
    QDir().mkpath(QFileInfo(target).path());
    StagedDownload download;
    connect(&download, &StagedDownload::progress, this, &UpdateCheck::signalProgress);
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
