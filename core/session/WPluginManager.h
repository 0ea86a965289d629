#pragma once

#include "PluginRecord.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

class IWHost;

// Applies staged plug-in installs and removals, then loads every plug-in of
// the "plugins" folder under the storage path once and keeps a record of each
// in load order (file names, case ignored).
//
// loadPlugins and clearPlugins run on the GUI thread; any thread may read
// the records, each reader getting a snapshot of the list.
class WPluginManager : public QObject
{
    Q_OBJECT

public:
    explicit WPluginManager(QObject *parent = nullptr);

    // The host handed to every plug-in right after it loads; set before
    // loadPlugins. It must stay valid for the whole process.
    void setHost(IWHost *host);

    void loadPlugins();
    // Forgets the records; nothing is unloaded or deleted.
    void clearPlugins();

    // The records in load order.
    QList<PluginRecord> plugins() const;

    // True when a loaded plug-in answers getPluginName with exactly `name`.
    bool isPluginLoaded(const QString &name) const;

    // The first file of "plugins" (hidden ones too, no symbolic links, in
    // name order) whose name does not contain "setup" and contains `name`,
    // case ignored; empty when there is none or `name` is empty.
    QString findPluginFile(const QString &name) const;

    static QString pluginsFolder();
    static QString updateFolder();

private:
    void loadPluginFile(const QString &path);

    IWHost *m_host = nullptr;
    mutable QMutex m_mutex; // guards m_plugins
    QList<PluginRecord> m_plugins;
};
