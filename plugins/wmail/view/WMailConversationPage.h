#pragma once

#include "WMailConversation.h"
#include "WMailStructure.h"

class WMailLocalClock;

#include <QString>

// The HTML of a conversation page: the whole page, and the chunk of one
// message that the page's script adds later. Everything a peer chose (text,
// sender name, ids) is made safe here before it reaches the page.
class WMailConversationPage
{
public:
    WMailConversationPage() = delete;

    // The most chunks a page starts with, and the most each scroll to its
    // top adds: a page of the whole history would take seconds to build.
    static constexpr int PageSize = 50;

    // The page with the newest PageSize of the view root's shown messages
    // that pass filter ("all" or an item type), oldest first. *oldestOnPage
    // (when given) becomes the index among the view root's children from
    // which on every message was put on the page or passed over.
    static QString buildConversationPage(WMailConversation &conversation, const QString &filter,
                                         int *oldestOnPage = nullptr);
    // The chunks of the next PageSize shown messages older than
    // *oldestOnPage that pass filter, oldest first; moves *oldestOnPage past
    // them. Empty when the page holds all shown messages.
    static QString buildOlderChunks(WMailConversation &conversation, const QString &filter, int *oldestOnPage);
    // The index of the newest shown message older than oldestOnPage that
    // passes filter and whose sender or text holds text (as a page search
    // matches: case aside); -1 when none does.
    static int findOlderMessage(WMailConversation &conversation, const QString &filter, int oldestOnPage,
                                const QString &text);
    // True while shown messages older than oldestOnPage are not on the page.
    static bool hasOlderMessages(WMailConversation &conversation, int oldestOnPage);
    // One message's chunk; empty for a message whose id is not one the
    // program makes (it would not stay inside its attribute).
    static QString buildMessageChunk(WMailConversation &conversation, const WMailStructure::Pointer &message);
    // The chunk of the message with that id under the view root; empty when none.
    static QString buildMessageChunkById(WMailConversation &conversation, const QString &id);
    // "<div>" + the item's HTML + "</div>"; the item is made from its stored
    // preview when the conversation does not hold it yet.
    static QString getItemHtml(WMailConversation &conversation, const QString &id, const QString &pluginName);

private:
    static QString buildMessageChunk(WMailConversation &conversation, const WMailStructure::Pointer &message,
                                     const WMailLocalClock &clock);
    // Gives a files or album item its conversation and its preview (made and
    // stored from its data the first time) and caches it; none without one.
    static void addStoredItem(WMailConversation &conversation, const QString &id,
                              const QSharedPointer<IWMailPlugin> &item);
};
