#pragma once

#include <IWPlugin.h>
#include <KvrConfig.h>

#include <QObject>
#include <QString>

// The messaging plug-in as the host sees it: every operation forwards to the
// process's main object (wmailMain()) or answers a constant.
class WMailPlugin : public QObject, public IWPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.wivora.Wivora.IWPlugin/1.0")
    Q_INTERFACES(IWPlugin)

public:
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
    QMap<QString, QWidget *> getUserWidget() override;
    void setUser(const QString &user) override;
    void commandReceived(const QString &id, const QString &command) override;
    void signalReceived(const QString &name, const QMap<QString, QVariant> &params) override;
    int getPluginVersion() override { return 1000; }
    QList<QAction *> getContactsContextMenu() override { return {}; }
    QList<QAction *> getPluginMenu() override { return {}; }
    QImage getWindowIcon(QWidget *page) override;
    QList<QAction *> getQuickMenuActions() override { return {}; }

    // What the chat page does when the user sends: shows the conversation
    // with "user" and sends "data" as a message of kind "type" (default
    // "text") to it. Answers "id", the new message's id, and the result flag.
    Q_INVOKABLE KvrConfig sendMessage(const KvrConfig &request);
    // What the user does with a received files item in the conversation with
    // "user": selects every file of message "id" in the item's page widget
    // and saves them into "folder". Answers "saved" and "errors" (one line
    // each); the result flag is false when there is no such item.
    Q_INVOKABLE KvrConfig saveFiles(const KvrConfig &request);
    // What the album of message "id" in the conversation with "user" shows:
    // "thumbnails" in its page widget, "pictures" in the viewer it opens.
    Q_INVOKABLE KvrConfig albumPictures(const KvrConfig &request);
};
