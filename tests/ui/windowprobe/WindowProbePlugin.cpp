#include <IWPlugin.h>

#include <QAction>
#include <QDockWidget>
#include <QLabel>
#include <QObject>
#include <QPainter>
#include <QVariantMap>

// A plug-in for the window's tests: one page, one menu, one quick action and
// a dock, each list built anew on every call (as real plug-ins may do), and a
// count of every call, readable through the property "calls".
class WindowProbePlugin : public QObject, public IWPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.wivora.Wivora.IWPlugin/1.0")
    Q_INTERFACES(IWPlugin)
    Q_PROPERTY(QVariantMap calls READ calls)
    Q_PROPERTY(QStringList users READ users)

public:
    QVariantMap calls() const { return m_calls; }
    QStringList users() const { return m_users; }

    QImage getPluginIcon() override { return icon(QColor(230, 120, 30)); }
    QString getPluginName() override { return QStringLiteral("Probe"); }
    QString getPluginDisplayName() override { return QStringLiteral("Probe plug-in"); }
    void initSettingsWidget() override {}
    QWidget *getSettingsWidget() override { return nullptr; }
    QList<QWidget *> getMainPluginWidget() override
    {
        count("getMainPluginWidget");
        auto *page = new QLabel(QStringLiteral("The probe plug-in's page"));
        page->setObjectName(QStringLiteral("probePage"));
        page->setAlignment(Qt::AlignCenter);
        return {page};
    }
    QMap<QDockWidget *, Qt::DockWidgetArea> getDockWindows() override
    {
        count("getDockWindows");
        auto *dock = new QDockWidget(QStringLiteral("Probe dock"));
        dock->setObjectName(QStringLiteral("probe:::dock"));
        dock->setWidget(new QLabel(QStringLiteral("Probe dock contents")));
        return {{dock, Qt::BottomDockWidgetArea}};
    }
    void receiveCommand(const KvrConfig &) override {}
    bool setHostInterface(IWHost *) override { return true; }
    void initPlugin() override {}
    void closePlugin() override {}
    QMap<QString, QWidget *> getUserWidget() override
    {
        count("getUserWidget");
        return {};
    }
    void setUser(const QString &user) override { m_users << user; }
    void commandReceived(const QString &, const QString &) override {}
    void signalReceived(const QString &, const QMap<QString, QVariant> &) override {}
    int getPluginVersion() override { return 1; }
    QList<QAction *> getContactsContextMenu() override { return {}; }
    QList<QAction *> getPluginMenu() override
    {
        count("getPluginMenu");
        auto *action = new QAction(QStringLiteral("Probe action"), this);
        action->setObjectName(QStringLiteral("probeMenuAction"));
        return {action};
    }
    QImage getWindowIcon(QWidget *) override { return icon(QColor(40, 160, 90)); }
    QList<QAction *> getQuickMenuActions() override
    {
        count("getQuickMenuActions");
        auto *action = new QAction(QIcon(QPixmap::fromImage(icon(QColor(200, 40, 120)))), QStringLiteral("Probe quick"), this);
        action->setObjectName(QStringLiteral("probeQuickAction"));
        return {action};
    }

private:
    void count(const char *operation)
    {
        const QString key = QString::fromLatin1(operation);
        m_calls[key] = m_calls.value(key).toInt() + 1;
    }
    static QImage icon(const QColor &colour)
    {
        QImage image(16, 16, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(colour);
        painter.setPen(colour.darker());
        painter.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        return image;
    }

    QVariantMap m_calls;
    QStringList m_users;
};

#include "WindowProbePlugin.moc"
