#include "WPluginManager.h"

#include <IWPlugin.h>
#include <PSettings.h>
#include <PrivateFiles.h>

#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QPluginLoader>
#include <QSet>
#include <QVector>

#include <cstdio>

namespace {

const QString kRemovalSetting = QStringLiteral("pluginstoremove");
// Files of "update" whose names hold this are client installers, not plug-ins.
const QString kInstallerMark = QStringLiteral("setup");

QFileInfoList filesByName(const QString &folder)
{
    return QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                                      QDir::Name);
}

// Loaders live as long as the process: each plug-in object lives in its
// library, which must never be unloaded. The list is reachable to the end,
// so leak checkers do not count it.
void keepLoader(QPluginLoader *loader)
{
    static QMutex mutex;
    static auto *const loaders = new QVector<QPluginLoader *>;
    QMutexLocker lock(&mutex);
    loaders->append(loader);
}

// Puts the staged file at `target`, replacing an installed file of the same
// name. The copy goes to a hidden file beside the target first and is renamed
// over it, so a failed copy leaves the installed plug-in as it was.
bool installStagedFile(const QString &staged, const QString &target)
{
    const QFileInfo targetInfo(target);
    const QString partial = targetInfo.absolutePath() + QStringLiteral("/.") + targetInfo.fileName()
                            + QStringLiteral(".partial");
    QFile::remove(partial);
    if (!QFile::copy(staged, partial))
        return false;
    // POSIX rename replaces an existing target in one step.
    if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(target).constData()) != 0) {
        QFile::remove(partial);
        return false;
    }
    return true;
}

} // namespace

WPluginManager::WPluginManager(QObject *parent)
    : QObject(parent)
{
}

void WPluginManager::setHost(IWHost *host)
{
    m_host = host;
}

QString WPluginManager::pluginsFolder()
{
    return PSettings::GetStoragePath(QStringLiteral("/plugins"));
}

QString WPluginManager::updateFolder()
{
    return PSettings::GetStoragePath(QStringLiteral("/update"));
}

void WPluginManager::loadPlugins()
{
    const QString plugins = pluginsFolder();
    const QString update = updateFolder();

    // Staged installs. A staged file whose copy failed stays for the next start.
    QSet<QString> failedCopies;
    for (const QFileInfo &staged : filesByName(update)) {
        if (staged.fileName().contains(kInstallerMark))
            continue;
        if (PrivateFiles::makeFolder(plugins)
            && installStagedFile(staged.absoluteFilePath(), plugins + QLatin1Char('/') + staged.fileName()))
            QFile::remove(staged.absoluteFilePath());
        else
            failedCopies.insert(staged.fileName());
    }

    // Staged removals.
    const QStringList toRemove =
        PSettings::GetValue(kRemovalSetting).toString().split(QLatin1Char('|'), Qt::SkipEmptyParts);
    for (const QString &name : toRemove) {
        const QString path = findPluginFile(name);
        if (!path.isEmpty())
            QFile::remove(path);
    }
    PSettings::SetValue(kRemovalSetting, QString());

    // Whatever else is staged (the client installer too) is offered at one start only.
    for (const QFileInfo &left : filesByName(update)) {
        if (!failedCopies.contains(left.fileName()))
            QFile::remove(left.absoluteFilePath());
    }

    clearPlugins();
    const QDir pluginsDir(plugins);
    if (!pluginsDir.exists())
        return;
    const QFileInfoList files = pluginsDir.entryInfoList(QDir::Files, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &file : files)
        loadPluginFile(file.absoluteFilePath());
}

void WPluginManager::loadPluginFile(const QString &path)
{
    auto *loader = new QPluginLoader(path);
    if (!loader->load()) {
        delete loader; // nothing was loaded, so nothing to keep
        return;
    }
    keepLoader(loader);
    QObject *const instance = loader->instance();
    IWPlugin *const plugin = qobject_cast<IWPlugin *>(instance);
    if (!plugin)
        return;

    PluginRecord record;
    record.icon = plugin->getPluginIcon();
    record.name = plugin->getPluginName();
    record.instance = instance;
    record.path = path;
    {
        QMutexLocker lock(&m_mutex);
        m_plugins.append(record);
    }
    if (m_host)
        plugin->setHostInterface(m_host);
}

void WPluginManager::clearPlugins()
{
    QMutexLocker lock(&m_mutex);
    m_plugins.clear();
}

QList<PluginRecord> WPluginManager::plugins() const
{
    QMutexLocker lock(&m_mutex);
    return m_plugins;
}

bool WPluginManager::isPluginLoaded(const QString &name) const
{
    for (const PluginRecord &record : plugins()) {
        IWPlugin *const plugin = qobject_cast<IWPlugin *>(record.instance);
        if (plugin && plugin->getPluginName() == name)
            return true;
    }
    return false;
}

QString WPluginManager::findPluginFile(const QString &name) const
{
    // An empty name would match every file.
    if (name.isEmpty())
        return QString();
    const QString wanted = name.toLower();
    for (const QFileInfo &file : filesByName(pluginsFolder())) {
        const QString fileName = file.fileName();
        if (!fileName.contains(kInstallerMark) && fileName.toLower().contains(wanted))
            return file.absoluteFilePath();
    }
    return QString();
}
