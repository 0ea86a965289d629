#include <IWPlugin.h>

#include <QObject>

// The smallest plug-in: answers fixed values so that a test can tell that
// calls through the interface reach it.
class FixturePlugin : public QObject, public IWPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.wivora.Wivora.IWPlugin/1.0")
    Q_INTERFACES(IWPlugin)

public:
    QImage getPluginIcon() override { return QImage(16, 16, QImage::Format_ARGB32); }
    QString getPluginName() override { return QStringLiteral("Fixture"); }
    QString getPluginDisplayName() override { return QStringLiteral("Fixture plug-in"); }
    void initSettingsWidget() override {}
    QWidget *getSettingsWidget() override { return nullptr; }
    QList<QWidget *> getMainPluginWidget() override { return {}; }
    QMap<QDockWidget *, Qt::DockWidgetArea> getDockWindows() override { return {}; }
    void receiveCommand(const KvrConfig &) override {}
    bool setHostInterface(IWHost *host) override
    {
        m_host = host;
        return true;
    }
    void initPlugin() override {}
    void closePlugin() override {}
    QMap<QString, QWidget *> getUserWidget() override { return {}; }
    void setUser(const QString &) override {}
    void commandReceived(const QString &, const QString &) override {}
    void signalReceived(const QString &, const QMap<QString, QVariant> &) override {}
    int getPluginVersion() override { return 1234; }
    QList<QAction *> getContactsContextMenu() override { return {}; }
    QList<QAction *> getPluginMenu() override { return {}; }
    QImage getWindowIcon(QWidget *) override { return {}; }
    QList<QAction *> getQuickMenuActions() override { return {}; }

private:
    IWHost *m_host = nullptr;
};

#include "FixturePlugin.moc"
