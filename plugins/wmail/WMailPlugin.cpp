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

KvrConfig WMailPlugin::sendMessage(const KvrConfig &request)
{
    KvrConfig answer;
    WMailMain *main = wmailMain();
    QString type = request.gv(QStringLiteral("type"));
    if (type.isEmpty())
        type = QStringLiteral("text");
    if (main) {
        if (const WMailConversation::Pointer shown = main->setUser(request.gv(QStringLiteral("user"))))
            answer.sv(QStringLiteral("id"),
                      main->createMessage(shown, request.GetValue(QStringLiteral("data")), type, true));
    }
    answer.SetResult(!answer.gv(QStringLiteral("id")).isEmpty());
    return answer;
}
