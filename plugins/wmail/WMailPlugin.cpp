#include "WMailPlugin.h"

#include "WMailMain.h"
#include "WMailRenderer.h"

QImage WMailPlugin::getPluginIcon()
{
    return QImage(QStringLiteral(":/icons/Resources/wmail.png"));
}

QString WMailPlugin::getPluginName()
{
    return QStringLiteral("WMail");
}

QString WMailPlugin::getPluginDisplayName()
{
    return tr("Messages");
}

bool WMailPlugin::setHostInterface(IWHost *host)
{
    if (WMailMain *main = wmailMain())
        main->setHost(host);
    return true;
}

void WMailPlugin::initPlugin()
{
    if (WMailMain *main = wmailMain())
        main->initPlugin();
}

void WMailPlugin::closePlugin()
{
    if (WMailMain *main = wmailMain())
        main->closePlugin();
}

QMap<QString, QWidget *> WMailPlugin::getUserWidget()
{
    WMailMain *main = wmailMain();
    return {{QStringLiteral("chat"), main ? main->chatWidget() : nullptr}};
}

void WMailPlugin::setUser(const QString &user)
{
    if (WMailMain *main = wmailMain())
        main->setUser(user);
}

void WMailPlugin::commandReceived(const QString &id, const QString &command)
{
    if (WMailMain *main = wmailMain())
        main->commandReceived(id, command);
}

void WMailPlugin::signalReceived(const QString &name, const QMap<QString, QVariant> &params)
{
    if (WMailMain *main = wmailMain())
        main->signalReceived(name, params);
}

QImage WMailPlugin::getWindowIcon(QWidget *page)
{
    WMailMain *main = wmailMain();
    const bool chat = page && main && page == main->chatWidget();
    return QImage(chat ? QStringLiteral(":/icons/Resources/Chat.png") : QStringLiteral(":/icons/Resources/wmail.png"));
}

QString WMailPlugin::sendMessage(const QString &contact, const QByteArray &data, const QString &itemType)
{
    WMailMain *main = wmailMain();
    if (!main)
        return QString();
    main->setUser(contact);
    return main->createMessage(main->chatWidget()->conversation(), data, itemType, true);
}
