#pragma once

#include "GuiStallProbe.h"
#include "ProbeControlServer.h"

#include <IWPlugin.h>
#include <KvrConfig.h>

#include <QHash>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QObject>
#include <QWaitCondition>

#include <atomic>

// A plug-in through which end-to-end tests drive a client process: every
// control request (ProbeProtocol.h) becomes the host call a real plug-in
// would make, and the probe remembers what the host called on it
// (commandReceived, signalReceived, initPlugin, closePlugin) for the test to
// ask about.
//
// It also runs operations of the other plug-ins loaded in the client
// (ProbeProtocol.h, "invoke"), so a test can make a product plug-in do what
// its user would and read its state back. A plug-in exposes such an
// operation as an invokable method that takes a record and returns one:
//
//   class FileSharingPlugin : public QObject, public IWPlugin {
//       Q_OBJECT
//   public:
//       // {"path"} -> result flag
//       Q_INVOKABLE KvrConfig shareFolder(const KvrConfig &request);
//   };
//
// The probe finds the plug-in by its getPluginName() in the host's plug-in
// list and calls the method by name on the plug-in object's thread (the GUI
// thread), where the plug-in's own windows would call it. An operation may
// block with the thread's events flowing (IWHost::waitInputCommand does), as
// a window's action would; it must not wait for another control request.
class ProbePlugin : public QObject, public IWPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.wivora.Wivora.IWPlugin/1.0")
    Q_INTERFACES(IWPlugin)

public:
    ProbePlugin();

    // IWPlugin
    QImage getPluginIcon() override;
    QString getPluginName() override { return QStringLiteral("probe"); }
    QString getPluginDisplayName() override { return QStringLiteral("Probe"); }
    void initSettingsWidget() override {}
    QWidget *getSettingsWidget() override { return nullptr; }
    QList<QWidget *> getMainPluginWidget() override { return {}; }
    QMap<QDockWidget *, Qt::DockWidgetArea> getDockWindows() override { return {}; }
    void receiveCommand(const KvrConfig &) override {}
    bool setHostInterface(IWHost *host) override;
    void initPlugin() override;
    void closePlugin() override;
    QMap<QString, QWidget *> getUserWidget() override { return {}; }
    void setUser(const QString &) override {}
    void commandReceived(const QString &id, const QString &command) override;
    void signalReceived(const QString &name, const QMap<QString, QVariant> &params) override;
    int getPluginVersion() override { return 1; }
    QList<QAction *> getContactsContextMenu() override { return {}; }
    QList<QAction *> getPluginMenu() override { return {}; }
    QImage getWindowIcon(QWidget *) override { return {}; }
    QList<QAction *> getQuickMenuActions() override { return {}; }

private:
    KvrConfig handleControlRequest(const KvrConfig &request);
    // Runs `KvrConfig operation(const KvrConfig &)` of the loaded plug-in
    // named pluginName on the plug-in's thread; false when there is none.
    bool invokePluginOperation(const QString &pluginName, const QString &operation, const KvrConfig &argument,
                               KvrConfig *result);
    // The "load" operation: round trips from several threads at once.
    KvrConfig runRequests(const KvrConfig &request);
    // Scales the client's waits as the environment asks (ProbeProtocol.h).
    void applyTestWaits();
    // In initPlugin, while the environment asks for it (ProbeProtocol.h).
    void holdStartWhileAsked();
    // Holds a record of another plug-in while the test asks for it.
    void holdRecordWhileAsked(const QString &command);
    // The claimed record with that "ID", waiting up to timeoutMs for it.
    KvrConfig waitForRecord(const QString &id, int timeoutMs);
    void remember(const QString &kind, const QString &name, const QString &id, const QVariantMap &params = {});
    // Ends the control thread before the application object goes.
    void shutDown();

    std::atomic<IWHost *> m_host{nullptr};
    ProbeControlServer *m_control = nullptr;

    QMutex m_mutex; // everything below
    QWaitCondition m_claimedArrived;
    QHash<QString, KvrConfig> m_claimed; // by "ID"
    QSet<QString> m_awaitedReplies;      // "ID"s of the records sent with "send"
    QList<KvrConfig> m_events;
    bool m_closing = false;
    GuiStallProbe m_stall; // on the plug-in's (the GUI) thread
};
