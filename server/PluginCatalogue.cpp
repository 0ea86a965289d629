#include "PluginCatalogue.h"

#include "ServerProtocol.h"
#include "WDataStructure.h"

#include <QDir>
#include <QSettings>
#include <QUrl>

namespace {

struct Entry
{
    QString name;
    QString platform;
    int number = 0; // build of a client, version of a plug-in
    QString description;
    QString file;
};

// A plain file name, as the web site's download route accepts it.
bool isPlainFileName(const QString &file)
{
    return !file.isEmpty() && !file.startsWith(QLatin1Char('.')) && !file.contains(QLatin1Char('/'))
           && !file.contains(QLatin1Char('\\'));
}

QList<Entry> readEntries(const QString &path, const QString &group, const char *numberKey)
{
    QList<Entry> entries;
    if (!QFile::exists(path))
        return entries;
    QSettings settings(path, QSettings::IniFormat);
    const int count = settings.beginReadArray(group);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        Entry entry;
        entry.name = settings.value(QStringLiteral("name")).toString();
        entry.platform = settings.value(QStringLiteral("platform")).toString();
        entry.number = settings.value(QLatin1String(numberKey)).toInt();
        entry.description = settings.value(QStringLiteral("description")).toString();
        entry.file = settings.value(QStringLiteral("file")).toString();
        if (isPlainFileName(entry.file))
            entries << entry;
    }
    settings.endArray();
    return entries;
}

} // namespace

PluginCatalogue::PluginCatalogue(const QString &dataDir, const QString &downloadBase)
    : m_path(QDir(dataDir).filePath(fileName()))
    , m_downloadBase(downloadBase)
{
}

QString PluginCatalogue::downloadUrl(const QString &file) const
{
    return m_downloadBase + QStringLiteral("/downloads/")
           + QString::fromLatin1(QUrl::toPercentEncoding(file));
}

QString PluginCatalogue::pluginsTree(const QString &platform) const
{
    WDataStructure tree;
    tree.SetValue(QStringLiteral("section"), QByteArray(ServerProtocol::KeyPlugins));
    const QList<Entry> entries = readEntries(m_path, QStringLiteral("plugins"), "version");
    for (const Entry &entry : entries) {
        if (entry.platform != platform || entry.name.isEmpty())
            continue;
        auto child = WDataStructure::Pointer::create();
        child->SetValue(QStringLiteral("section"), entry.name);
        child->SetValue(QLatin1String(ServerProtocol::PluginKeyName), entry.name);
        child->SetValue(QLatin1String(ServerProtocol::PluginKeyDescription), entry.description);
        child->SetValue(QLatin1String(ServerProtocol::PluginKeyPath), downloadUrl(entry.file));
        tree.AddStructure(child);
    }
    return tree.SerializeStructure();
}

QString PluginCatalogue::clientUpdate(const QString &platform, int build) const
{
    const Entry *best = nullptr;
    const QList<Entry> entries = readEntries(m_path, QStringLiteral("client"), "build");
    for (const Entry &entry : entries) {
        if (entry.platform == platform && entry.number > build && (!best || entry.number > best->number))
            best = &entry;
    }
    return best ? downloadUrl(best->file) : QString();
}

QString PluginCatalogue::pluginUpdate(const QString &name, const QString &platform, int version) const
{
    const Entry *best = nullptr;
    const QList<Entry> entries = readEntries(m_path, QStringLiteral("plugins"), "version");
    for (const Entry &entry : entries) {
        if (entry.name == name && entry.platform == platform && entry.number > version
            && (!best || entry.number > best->number))
            best = &entry;
    }
    return best ? downloadUrl(best->file) : QString();
}
