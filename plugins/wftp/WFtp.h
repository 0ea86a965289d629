#pragma once

#include <CommandParser.h>
#include <IWPlugin.h>

#include <QObject>
#include <QSharedPointer>

#include <atomic>

class IAccountProvider;

// The file-sharing plug-in's root object: answers contacts' "wftp:::"
// requests on the link that brought them and the web server's
// "WebLocal::wftp:::" requests on the main-server link.
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
    QWidget *getSettingsWidget() override { return nullptr; }
    QList<QWidget *> getMainPluginWidget() override { return {}; }
    QMap<QDockWidget *, Qt::DockWidgetArea> getDockWindows() override { return {}; }
    void receiveCommand(const KvrConfig &) override {}
    bool setHostInterface(IWHost *host) override;
    void initPlugin() override {}
    // At logout nothing stays open for the peers of the session that ended.
    void closePlugin() override;
    QMap<QString, QWidget *> getUserWidget() override { return {}; }
    void setUser(const QString &) override {}
    void commandReceived(const QString &id, const QString &command) override;
    void signalReceived(const QString &, const QMap<QString, QVariant> &) override {}
    int getPluginVersion() override { return 1002; }
    QList<QAction *> getContactsContextMenu() override { return {}; }
    QList<QAction *> getPluginMenu() override { return {}; }
    QImage getWindowIcon(QWidget *) override { return {}; }
    QList<QAction *> getQuickMenuActions() override { return {}; }

    CommandParser &commandParser() { return m_parser; }

private:
    void pushThumbnail(const KvrConfig &request, const QString &folderPath, const QString &row);

    std::atomic<IWHost *> m_host{nullptr};
    QSharedPointer<IAccountProvider> m_provider;
    CommandParser m_parser;
};
