#pragma once

#include "WMailConversation.h"
#include "WMailStructure.h"

#include <KvrConfig.h>

#include <QString>
#include <QStringList>

class IWHost;
class WMailManager;

// The "wmail:::newMessage" record that carries a new message to each other
// participant, and both roads of it: sending through the host's buffered
// store, and filing what arrives into the right conversation.
class WMailCommands
{
public:
    WMailCommands() = delete;

    static const QString CommandName;

    // The most the host's buffered store carries in one record.
    static constexpr int MaxRecordSize = 64 * 1024 * 1024;

    static KvrConfig newMessageRecord(const QString &sender, const QString &wmailid, const QString &parentid,
                                      const QString &insertafterid, const QByteArray &structure,
                                      const QByteArray &plugin);
    // True when the host can carry the record.
    static bool fitsHost(const KvrConfig &record);
    // Buffers a copy of the record for every participant but own; how many.
    static int sendNewMessage(IWHost *host, const QString &own, const QStringList &participants,
                              const KvrConfig &record);

    // On the host's command thread: reads a "wmail:::newMessage" record (any
    // other name is left to its owner), checks that its author, the sender
    // the host stamped, is the one it names and is accepted, and gives the
    // record and the author (lower case); false when there is nothing to file.
    // A record to file stays in the host's input list until the plug-in has
    // stored it (take); a refused one is taken at once.
    static bool claim(IWHost *host, const QString &id, const QString &command, KvrConfig *record,
                      QString *author);

    enum class Outcome {
        Stored,
        Dropped, // never to be filed: invalid, foreign, repeated, or nobody logged in
        NotSaved // to be tried again: the conversation could not be read or written
    };
    struct Filed
    {
        Outcome outcome = Outcome::Dropped;
        WMailConversation::Pointer conversation;
        WMailStructure::Pointer parent;
        WMailStructure::Pointer message;
    };
    // On the GUI thread: files a claimed message into the author's or the
    // group's conversation by server time.
    static Filed file(WMailManager &manager, const KvrConfig &record, const QString &author);
    // The known conversation a received record would be filed in; null when
    // there is none yet (file() then makes it, or drops the record).
    static WMailConversation::Pointer knownConversation(const WMailManager &manager, const KvrConfig &record,
                                                        const QString &author);
};
