#pragma once

#include "EchoProbe.h"

#include <IWPlugin.h>

#include <QMutex>
#include <QWaitCondition>
#include <QObject>

#include <atomic>

// A plug-in for tests: answers every "echo:::" request with a copy of it named
// "<request>:callback" (and a "WebLocal::echo:::" request with an unchanged
// copy through the main-server link), and remembers every call it got.
//
// Two requests make it block in commandReceived before it answers, as a real
// plug-in may:
// - "echo:::hold" waits until an "echo:::release" request has come (up to
//   HoldLimitMs; the gate then stays open); its reply has "released" 1 or 0;
// - "echo:::askback" first sends an "echo:::ping" back to its sender on the
//   same link and waits for that reply; its reply has "answered" 1 or 0.
class EchoPlugin : public QObject, public IWPlugin, public EchoProbe
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.wivora.Wivora.IWPlugin/1.0")
    Q_INTERFACES(IWPlugin EchoProbe)

public:
    // IWPlugin
    QImage getPluginIcon() override;
    QString getPluginName() override;
    QString getPluginDisplayName() override;
    void initSettingsWidget() override {}
    QWidget *getSettingsWidget() override { return nullptr; }
    QList<QWidget *> getMainPluginWidget() override { return {}; }
    QMap<QDockWidget *, Qt::DockWidgetArea> getDockWindows() override { return {}; }
    void receiveCommand(const KvrConfig &) override {}
    bool setHostInterface(IWHost *host) override;
    void initPlugin() override;
    void closePlugin() override;
    QMap<QString, QWidget *> getUserWidget() override { return {}; }
    void setUser(const QString &user) override;
    void commandReceived(const QString &id, const QString &command) override;
    void signalReceived(const QString &name, const QMap<QString, QVariant> &params) override;
    int getPluginVersion() override { return 1; }
    QList<QAction *> getContactsContextMenu() override { return {}; }
    QList<QAction *> getPluginMenu() override { return {}; }
    QImage getWindowIcon(QWidget *) override { return {}; }
    QList<QAction *> getQuickMenuActions() override { return {}; }

    // EchoProbe
    IWHost *host() const override { return m_host.load(); }
    QList<EchoEvent> events() const override;
    void clearEvents() override;
    void setJournal(EchoJournal *journal) override { m_journal.store(journal); }
    void send(const QString &user, const KvrConfig &record, bool serverConnection,
              const QString &connectionID) override;
    void buffer(const QString &user, const KvrConfig &record) override;
    KvrConfig waitForRecord(const QString &id, int timeoutMs) override;

    // An operation a test can invoke as a user's action: sends an
    // "echo:::ping" record with the request's "payload" to the user named by
    // its "user" and returns the reply (IWHost::waitInputCommand, up to
    // ReplyTimeoutMs); an empty record when none came.
    static constexpr int ReplyTimeoutMs = 30000;
    Q_INVOKABLE KvrConfig ping(const KvrConfig &request);

    static constexpr int HoldLimitMs = 30000;

private:
    void record(EchoEvent::Kind kind, const QString &name, const QString &id,
                const QVariantMap &params = {});
    void answer(const QString &id, const QString &command);
    // The blocking requests: what their reply adds to the copy.
    void holdUntilReleased(KvrConfig *reply);
    void askBack(const KvrConfig &request, KvrConfig *reply);

    std::atomic<IWHost *> m_host{nullptr};
    std::atomic<EchoJournal *> m_journal{nullptr};
    mutable QMutex m_mutex;
    QList<EchoEvent> m_events;
    QWaitCondition m_releasedChanged;
    bool m_released = false;
};
