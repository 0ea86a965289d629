#include "WMailConversationPage.h"

#include "FilesPlugin.h"
#include "PhotoAlbumPlugin.h"
#include "TextPlugin.h"
#include "WMailHtmlSanitizer.h"
#include "WMailLocalClock.h"

#include <QFile>
#include <QTextDocumentFragment>

namespace {

const QString kResources = QStringLiteral("resourceswivora:///wmailelements/Resources/");

// Peer content may not run script, load from anywhere but the plug-in's
// resources, or be framed: a second wall behind the sanitiser.
const QString kPolicy = QStringLiteral("default-src 'none'; script-src resourceswivora:; "
                                       "style-src resourceswivora: 'unsafe-inline'; img-src resourceswivora:; "
                                       "object-src 'self'");

QString readTemplate(const char *name)
{
    QFile file(QStringLiteral(":/wmailelements/Resources/") + QLatin1String(name) + QStringLiteral(".html"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll().mid(3)); // past the byte-order mark
}

// Read once: a page of thousands of chunks would read them thousands of times.
QString bubbleTemplate(bool own)
{
    static const QString gray = readTemplate("graychat");
    static const QString green = readTemplate("greenchat");
    return own ? gray : green;
}

QString headerHtml(const WMailStructure &message, const WMailLocalClock &clock)
{
    return QStringLiteral("<table width=\"100%\" border=\"0\" cellspacing=\"0\" cellpadding=\"0\"><tr>"
                          "<td align=\"left\" valign=\"top\" class=\"graytext\"><b>")
        + WMailHtmlSanitizer::escape(message.sender)
        + QStringLiteral("</b><br/></td><td align=\"right\" valign=\"top\" class=\"czcionka\">"
                         "<span style=\"font-size:9px; color:#777777;\"><b>")
        + WMailHtmlSanitizer::escape(clock.text(message.localTime))
        + QStringLiteral("</b></span></td></tr></table>");
}

// Both words replaced in one pass over the template, so a sender named
// "content" stays a name.
QString fillTemplate(const QString &bubble, const QString &header, const QString &content)
{
    QString filled;
    int from = 0;
    for (;;) {
        const int h = bubble.indexOf(QLatin1String("header"), from);
        const int c = bubble.indexOf(QLatin1String("content"), from);
        if (h < 0 && c < 0)
            break;
        const bool headerFirst = c < 0 || (h >= 0 && h < c);
        const int at = headerFirst ? h : c;
        filled += bubble.midRef(from, at - from) + (headerFirst ? header : content);
        from = at + (headerFirst ? 6 : 7);
    }
    return filled + bubble.midRef(from);
}

// The first of the view root's children the page may show.
int firstShown(WMailConversation &conversation, int count)
{
    const int start = count - conversation.numberOfShownItems();
    return start < 0 || start > count ? 0 : start;
}

} // namespace

QString WMailConversationPage::buildConversationPage(WMailConversation &conversation, const QString &filter,
                                                     int *oldestOnPage)
{
    QString page = QStringLiteral("<html><head><meta http-equiv=\"Content-Security-Policy\" content=\"") + kPolicy
        + QStringLiteral("\" /><link href=\"") + kResources
        + QStringLiteral("wmailstyle.css\" type=\"text/css\" rel=\"stylesheet\" />\r\n"
                         "<script type=\"text/javascript\" src=\"")
        + kResources
        + QStringLiteral("jquery.js\"></script><script type=\"text/javascript\" src=\"") + kResources
        + QStringLiteral("wmail.js\"></script></head><body><div id=\"mainstorage\" style=\"font-size:12px;\">");
    const WMailStructure::Pointer root = conversation.viewRoot();
    int oldest = root ? root->children.size() : 0;
    page += buildOlderChunks(conversation, filter, &oldest);
    if (oldestOnPage)
        *oldestOnPage = oldest;
    return page + QStringLiteral("<div id=\"lastchunk\"></div></div></body></html>");
}

int WMailConversationPage::findOlderMessage(WMailConversation &conversation, const QString &filter, int oldestOnPage,
                                            const QString &text)
{
    const WMailStructure::Pointer root = conversation.viewRoot();
    if (!root || text.isEmpty())
        return -1;
    const QList<WMailStructure::Pointer> &children = root->children;
    for (int i = qMin(oldestOnPage, children.size()) - 1; i >= firstShown(conversation, children.size()); --i) {
        const WMailStructure &message = *children.at(i);
        if (filter != QLatin1String("all") && message.itemType != filter)
            continue;
        if (message.sender.contains(text, Qt::CaseInsensitive))
            return i;
        if (message.itemType != TextPlugin::Name)
            continue;
        const QString html = QString::fromUtf8(conversation.loadItemPreview(message.id));
        if (QTextDocumentFragment::fromHtml(html).toPlainText().contains(text, Qt::CaseInsensitive))
            return i;
    }
    return -1;
}

bool WMailConversationPage::hasOlderMessages(WMailConversation &conversation, int oldestOnPage)
{
    const WMailStructure::Pointer root = conversation.viewRoot();
    return root && oldestOnPage > firstShown(conversation, root->children.size());
}

QString WMailConversationPage::buildOlderChunks(WMailConversation &conversation, const QString &filter,
                                                int *oldestOnPage)
{
    const WMailStructure::Pointer root = conversation.viewRoot();
    if (!root)
        return QString();
    const QList<WMailStructure::Pointer> &children = root->children;
    const int start = firstShown(conversation, children.size());
    QList<int> picked; // newest first
    int i = qMin(*oldestOnPage, children.size()) - 1;
    for (; i >= start && picked.size() < PageSize; --i) {
        if (filter == QLatin1String("all") || children.at(i)->itemType == filter)
            picked.append(i);
    }
    *oldestOnPage = i + 1; // every child from here on was looked at
    const WMailLocalClock clock;
    QString chunks;
    for (auto it = picked.crbegin(); it != picked.crend(); ++it)
        chunks += buildMessageChunk(conversation, children.at(*it), clock);
    return chunks;
}

QString WMailConversationPage::buildMessageChunk(WMailConversation &conversation, const WMailStructure::Pointer &message)
{
    return buildMessageChunk(conversation, message, WMailLocalClock());
}

QString WMailConversationPage::buildMessageChunk(WMailConversation &conversation, const WMailStructure::Pointer &message,
                                                 const WMailLocalClock &clock)
{
    if (!message || !WMailStructure::isValidId(message->id))
        return QString();
    QString chunk = QStringLiteral("<div id=\"") + message->id + QStringLiteral("\"><a name=\"") + message->id
        + QStringLiteral("\"></a>");
    const QString bubble = bubbleTemplate(message->sender == conversation.owner());
    if (!bubble.isEmpty())
        chunk += fillTemplate(bubble, headerHtml(*message, clock), getItemHtml(conversation, message->id, message->itemType));
    return chunk + QStringLiteral("</div>");
}

QString WMailConversationPage::buildMessageChunkById(WMailConversation &conversation, const QString &id)
{
    const WMailStructure::Pointer root = conversation.viewRoot();
    if (!root || id == root->id)
        return QString();
    // Every message descends from the conversation's root: found without a walk.
    return buildMessageChunk(conversation,
                             root == conversation.root() ? conversation.findMessage(id) : root->findStructure(id));
}

void WMailConversationPage::addStoredItem(WMailConversation &conversation, const QString &id,
                                          const QSharedPointer<IWMailPlugin> &item)
{
    item->setConversation(conversation.sharedFromThis());
    QByteArray preview = conversation.loadItemPreview(id);
    // Received items arrive with their data only: the preview is made once.
    if (preview.isEmpty()) {
        preview = item->getPreviewData();
        if (!preview.isEmpty())
            conversation.storeItemPreview(id, preview);
    }
    item->setPreviewData(preview);
    if (!preview.isEmpty())
        conversation.items().insert(id, item);
}

QString WMailConversationPage::getItemHtml(WMailConversation &conversation, const QString &id, const QString &pluginName)
{
    WMailConversation::ItemCache &items = conversation.items();
    if (!items.contains(id) && pluginName == TextPlugin::Name) {
        const QByteArray preview = conversation.loadItemPreview(id);
        if (!preview.isEmpty())
            items.insert(id, QSharedPointer<TextPlugin>::create(id, preview));
    } else if (!items.contains(id) && pluginName == FilesPlugin::Name) {
        addStoredItem(conversation, id, QSharedPointer<FilesPlugin>::create(id));
    } else if (!items.contains(id) && pluginName == PhotoAlbumPlugin::Name) {
        addStoredItem(conversation, id, QSharedPointer<PhotoAlbumPlugin>::create(id));
    }
    const QSharedPointer<IWMailPlugin> item = items.value(id);
    return QStringLiteral("<div>") + (item ? item->getHtml() : QString()) + QStringLiteral("</div>");
}
