#include "WMailPlugin.h"

#include "FilesRenderer.h"
#include "PhotoAlbumRenderer.h"
#include "QPictureDetails.h"
#include "TabCarousel.h"
#include "WMailConversationPage.h"
#include "WMailMain.h"
#include "WMailRenderer.h"

#include <QTreeWidget>

#include <memory>

namespace {

// The widget the conversation page embeds for the item of message "id" in
// the conversation with "user", made as the page makes it; null when there
// is no such item.
std::unique_ptr<QWidget> renderedItem(const KvrConfig &request)
{
    WMailMain *main = wmailMain();
    const QString id = request.gv(QStringLiteral("id"));
    const WMailConversation::Pointer conversation =
        main ? main->manager().findConversation(request.gv(QStringLiteral("user"))) : WMailConversation::Pointer();
    if (!conversation || !conversation->load())
        return nullptr;
    const WMailStructure::Pointer message = conversation->root()->findStructure(id);
    if (!message)
        return nullptr;
    WMailConversationPage::getItemHtml(*conversation, id, message->itemType);
    const QSharedPointer<IWMailPlugin> item = conversation->items().value(id);
    return std::unique_ptr<QWidget>(item ? item->getRendererWidget() : nullptr);
}

} // namespace

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

KvrConfig WMailPlugin::saveFiles(const KvrConfig &request)
{
    KvrConfig answer;
    const std::unique_ptr<QWidget> widget = renderedItem(request);
    auto *renderer = qobject_cast<FilesRenderer *>(widget.get());
    answer.SetResult(renderer != nullptr);
    if (!renderer)
        return answer;
    renderer->list()->selectAll();
    QStringList errors;
    const QStringList saved = renderer->saveSelectedTo(request.gv(QStringLiteral("folder")), &errors);
    answer.sv(QStringLiteral("saved"), saved.join(QLatin1Char('\n')));
    answer.sv(QStringLiteral("errors"), errors.join(QLatin1Char('\n')));
    return answer;
}

KvrConfig WMailPlugin::albumPictures(const KvrConfig &request)
{
    KvrConfig answer;
    const std::unique_ptr<QWidget> widget = renderedItem(request);
    auto *renderer = qobject_cast<PhotoAlbumRenderer *>(widget.get());
    answer.SetResult(renderer != nullptr);
    if (!renderer)
        return answer;
    answer.sv(QStringLiteral("thumbnails"), QString::number(renderer->carousel()->tiles().size()));
    const std::unique_ptr<QPictureDetails> viewer(renderer->openPictures(0));
    answer.sv(QStringLiteral("pictures"), QString::number(viewer ? viewer->count() : 0));
    return answer;
}
