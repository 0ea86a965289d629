#include "PSettings.h"

#include "PrivateFiles.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include <mutex>

namespace {

// A QSettings per call, so that opening re-reads the file when another
// process changed it. Qt shares the parsed file between the QSettings objects
// of a process under a lock of its own, which thread checkers cannot see;
// this one serialises every use from here in a way they can follow.
std::mutex settingsMutex;

QString openSettingsFile()
{
    const QString folder = PSettings::GetSettingsFolder();
    const QString path = folder + QStringLiteral("/wivoraclient.ini");
    if (!QFile::exists(path)) {
        // Owner-only from the start (later saves keep the file's permissions);
        // NewOnly so that a racing thread never truncates a file just written.
        PrivateFiles::makeFolder(folder);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            PrivateFiles::restrict(path);
    }
    return path;
}

void flush(QSettings &settings)
{
    settings.sync();
    PrivateFiles::restrict(settings.fileName());
}

} // namespace

QVariant PSettings::GetValue(const QString &key)
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    QSettings settings(openSettingsFile(), QSettings::IniFormat);
    return settings.value(key);
}

void PSettings::SetValue(const QString &key, const QVariant &value)
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    QSettings settings(openSettingsFile(), QSettings::IniFormat);
    settings.setValue(key, value);
    flush(settings);
}

void PSettings::RemoveValue(const QString &key)
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    QSettings settings(openSettingsFile(), QSettings::IniFormat);
    settings.remove(key);
    flush(settings);
}

QString PSettings::GetStoragePath(const QString &relative)
{
    const QString root =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/wivora");
    int start = 0;
    while (start < relative.size() && relative.at(start) == QLatin1Char('/'))
        ++start;
    if (start == relative.size())
        return root;
    return root + QLatin1Char('/') + relative.midRef(start);
}

QString PSettings::GetSettingsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/wivora");
}
