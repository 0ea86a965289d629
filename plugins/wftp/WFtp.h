#pragma once

#include <IWPlugin.h>
#include <TransferManager.h>
#include <TransferMonitor.h>
#include <WFtpMain.h>

#include <QHash>
#include <QMutex>
#include <QObject>

#include <atomic>

class WFtpWindows;

// The file-sharing plug-in's root object: hands the host's calls to its
// controller. Contacts' "wftp:::" requests are answered on the link that
// brought them, the web server's "WebLocal::wftp:::" on the main-server link;
// replies wait for their requests and pushes go to the request client.
class WFtp : public QObject, public IWPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.wivora.Wivora.IWPlugin/1.0")
    Q_INTERFACES(IWPlugin)

public:
    WFtp();
    ~WFtp() override;

    QImage getPluginIcon() override;
    QString getPluginName() override { return QStringLiteral("WFtp"); }
    QString getPluginDisplayName() override { return tr("Shared folders"); }
    void initSettingsWidget() override {}
    QWidget *getSettingsWidget() override;
    QList<QWidget *> getMainPluginWidget() override;
    QMap<QDockWidget *, Qt::DockWidgetArea> getDockWindows() override;
    void receiveCommand(const KvrConfig &) override {}
    bool setHostInterface(IWHost *host) override;
    void initPlugin() override;
    // At logout nothing stays open for the peers of the session that ended;
    // partial downloads stay for the next. No transfer thread outlives the
    // session: the host's objects they use may go after it.
    void closePlugin() override
    {
        m_transfers.haltAllTransfers();
        m_main.close();
        m_transfers.waitForDone();
    }
    QMap<QString, QWidget *> getUserWidget() override;
    void setUser(const QString &user) override;
    void commandReceived(const QString &id, const QString &command) override;
    void signalReceived(const QString &name, const QMap<QString, QVariant> &params) override
    {
        m_main.onSignalReceived(name, params);
    }
    int getPluginVersion() override { return 1002; }
    QList<QAction *> getContactsContextMenu() override;
    QList<QAction *> getPluginMenu() override;
    QImage getWindowIcon(QWidget *) override { return getPluginIcon(); }
    QList<QAction *> getQuickMenuActions() override;

    WFtpMain &controller() { return m_main; }
    // The pages, docks and actions; null in a process without widgets, and
    // made on the GUI thread only.
    WFtpWindows *windows();

    // What the plug-in's windows do, for tools that drive a running client.
    // {"path", "users" (joined by "|")} -> {"disc"}
    Q_INVOKABLE KvrConfig shareFolder(const KvrConfig &request);
    // {"disc"} -> result
    Q_INVOKABLE KvrConfig stopSharing(const KvrConfig &request);
    // {"path", "users", "readers", "without" (each joined by "|")} -> {}: the
    // folder's permitted users stored as the folder properties dialog stores
    // its rows, "users" with every right, "readers" with reading only,
    // "without" with none
    Q_INVOKABLE KvrConfig setFolderUsers(const KvrConfig &request);
    // {} -> {"discs" (joined by "|")}
    Q_INVOKABLE KvrConfig knownDiscs(const KvrConfig &request);
    // {"path", "reload"} -> {"names" (joined by "|"), "error"}; false when
    // the folder could not be listed
    Q_INVOKABLE KvrConfig listFolder(const KvrConfig &request);
    // {"path"} -> result of asking the owner whether it exists
    Q_INVOKABLE KvrConfig checkFile(const KvrConfig &request);
    // {"path", "chunk", "hash" ("false": none)} -> {"size", "sha256"} of the
    // whole file read through VirtualFile
    Q_INVOKABLE KvrConfig readFile(const KvrConfig &request);
    // {"path", "data"} -> result, the file written through VirtualFile
    Q_INVOKABLE KvrConfig writeFile(const KvrConfig &request);
    // {"files", "folders" (each joined by "|"), "target", "base"} -> {"id"}:
    // a transfer started as the file browser starts one
    Q_INVOKABLE KvrConfig startTransfer(const KvrConfig &request);
    // {"id"} -> {"returned", "completed", "failed", "bytes", "progress" (the
    // row's last speed line)}, result true once every item is done
    Q_INVOKABLE KvrConfig transferState(const KvrConfig &request);
    // {"answer" ("yes" or "no")} -> {}: every later overwrite question of
    // this client's transfers answered so, as the user would
    Q_INVOKABLE KvrConfig answerOverwrites(const KvrConfig &request);
    // {"id"} -> result: the transfer stopped as its row's Stop button does
    Q_INVOKABLE KvrConfig stopTransfer(const KvrConfig &request);
    // {"files" (joined by "|")} -> result, {"kept" (joined by "|")}: deleted
    // as the file browser deletes a contact's entries
    Q_INVOKABLE KvrConfig deleteFiles(const KvrConfig &request);
    CommandParser &commandParser() { return m_main.commandParser(); }
    TransferManager &transfers() { return m_transfers; }
    // The own files contacts have open now.
    TransferMonitor &monitor() { return m_monitor; }

private:
    void pushThumbnail(const KvrConfig &request, const QString &folderPath, const QString &row);

    WFtpMain m_main;
    // Each started transfer's last speed line, as its row shows it.
    QMutex m_progressMutex;
    QHash<QString, QString> m_progressLines;
    // Declared after the controller: its workers end before the controller goes.
    TransferManager m_transfers{m_main};
    TransferMonitor m_monitor;
    // Made on the GUI thread, read by initPlugin on the reconnect thread too;
    // deleted before the controller the pages show.
    std::atomic<WFtpWindows *> m_windows{nullptr};
};
