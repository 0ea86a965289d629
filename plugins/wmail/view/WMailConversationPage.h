#pragma once

#include "WMailConversation.h"
#include "WMailStructure.h"

#include <QString>

// The HTML of a conversation page: the whole page, and the chunk of one
// message that the page's script adds later. Everything a peer chose (text,
// sender name, ids) is made safe here before it reaches the page.
class WMailConversationPage
{
public:
    WMailConversationPage() = delete;

    // The page with the shown messages of the view root, oldest first;
    // filter "all" or an item type.
    static QString buildConversationPage(WMailConversation &conversation, const QString &filter);
    // One message's chunk; empty for a message whose id is not one the
    // program makes (it would not stay inside its attribute).
    static QString buildMessageChunk(WMailConversation &conversation, const WMailStructure::Pointer &message);
    // The chunk of the message with that id under the view root; empty when none.
    static QString buildMessageChunkById(WMailConversation &conversation, const QString &id);
    // "<div>" + the item's HTML + "</div>"; the item is made from its stored
    // preview when the conversation does not hold it yet.
    static QString getItemHtml(WMailConversation &conversation, const QString &id, const QString &pluginName);

private:
    // Gives a files or album item its conversation and its preview (made and
    // stored from its data the first time) and caches it; none without one.
    static void addStoredItem(WMailConversation &conversation, const QString &id,
                              const QSharedPointer<IWMailPlugin> &item);
};
