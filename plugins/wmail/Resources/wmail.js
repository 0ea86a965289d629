// The conversation page's operations, called by the view through script.
// Chunk text arrives with every double quote written "&cudz" and every
// single quote "&app", so that it fits in a quoted script string.
var wmailOperations = {
    // The most children "mainstorage" keeps (the end marker counts); -1: all.
    numberOfShownItems: -1,

    decode: function (content) {
        return content.replace(/&cudz/g, '"').replace(/&app/g, "'");
    },

    find: function (id) {
        return $("div[id='" + id + "']");
    },

    setNumberOfShownItems: function (newval) {
        this.numberOfShownItems = newval;
    },

    addNewMessage: function (insertAfter, currentID, content) {
        if (this.find(currentID).length > 0)
            return;
        var chunk = this.decode(content);
        var after = insertAfter !== "" ? this.find(insertAfter) : $();
        if (after.length > 0)
            after.after(chunk);
        else
            $("#lastchunk").before(chunk);
        this.ClearUnwantedMessages();
        this.NavigateToContent(currentID);
    },

    // Older chunks go before the oldest on the page; what the reader sees
    // stays where it was.
    addOlderMessages: function (content) {
        var storage = document.getElementById("mainstorage");
        var before = document.body.scrollHeight;
        $(storage).prepend(this.decode(content));
        window.scrollBy(0, document.body.scrollHeight - before);
    },

    ReplaceMessage: function (currentID, content) {
        this.find(currentID).replaceWith(this.decode(content));
        this.ClearUnwantedMessages();
        this.NavigateToContent(currentID);
    },

    RemoveMessage: function (messageID) {
        this.find(messageID).remove();
    },

    ClearUnwantedMessages: function () {
        if (this.numberOfShownItems <= -1)
            return;
        var storage = $("#mainstorage");
        while (storage.children().length > this.numberOfShownItems)
            storage.children().first().remove();
    },

    NavigateToContent: function (contentid) {
        location.hash = "#" + contentid;
        // A page given as text has no address a fragment could move in:
        // scroll to the chunk directly.
        var chunk = document.getElementById(contentid);
        if (chunk)
            chunk.scrollIntoView(false);
    }
};

// The page allows no inline script, so what the page would run when it is
// ready lives here: the default limit, and the newest message in sight.
$(document).ready(function () {
    wmailOperations.numberOfShownItems = 100;
    var newest = $("#mainstorage").children().not("#lastchunk").last();
    if (newest.length > 0)
        wmailOperations.NavigateToContent(newest.attr("id"));
});
