#include "WMailCommands.h"

#include "WMailManager.h"

#include <IWHost.h>

#include <QtDebug>

const QString WMailCommands::CommandName = QStringLiteral("wmail:::newMessage");

namespace {

const QString kCommand = QStringLiteral("command");
const QString kWmailId = QStringLiteral("wmailid");
const QString kParentId = QStringLiteral("parentid");
const QString kInsertAfterId = QStringLiteral("insertafterid");
const QString kStructure = QStringLiteral("structure");
const QString kPlugin = QStringLiteral("plugin");
const QString kSender = QStringLiteral("sender");
// Stamped by the host on every road from the link's authenticated user.
const QString kHostSender = QStringLiteral("Wivora::sender");

bool containsName(const QStringList &names, const QString &name)
{
    return names.contains(name, Qt::CaseInsensitive);
}

} // namespace

KvrConfig WMailCommands::newMessageRecord(const QString &sender, const QString &wmailid, const QString &parentid,
                                          const QString &insertafterid, const QByteArray &structure,
                                          const QByteArray &plugin)
{
    KvrConfig record;
    record.SetID();
    record.sv(kCommand, CommandName, true);
    record.sv(kWmailId, wmailid, true);
    record.sv(kParentId, parentid, true);
    record.sv(kInsertAfterId, insertafterid, true);
    record.SetValue(kStructure, structure, true);
    record.SetValue(kPlugin, plugin, true);
    record.sv(kSender, sender, true);
    return record;
}

bool WMailCommands::fitsHost(const KvrConfig &record)
{
    // The host adds its own keys; leave them room.
    constexpr int kHostKeysRoom = 4096;
    return record.SerializeConfigBinary().size() <= MaxRecordSize - kHostKeysRoom;
}

int WMailCommands::sendNewMessage(IWHost *host, const QString &own, const QStringList &participants,
                                  const KvrConfig &record)
{
    int sent = 0;
    for (const QString &participant : participants) {
        if (participant != own) {
            host->bufferCommand(participant, record);
            ++sent;
        }
    }
    return sent;
}

bool WMailCommands::claim(IWHost *host, const QString &id, const QString &command, KvrConfig *record,
                          QString *author)
{
    if (command != CommandName || !host)
        return false;
    *record = host->peekInputCommand(id);
    if (record->isEmpty())
        return false;
    *author = record->gv(kHostSender).toLower();
    if (author->isEmpty() || record->gv(kSender).compare(*author, Qt::CaseInsensitive) != 0) {
        qWarning() << "wmail: dropped a message from" << *author << "that claims to be from"
                   << record->gv(kSender);
        host->takeInputCommand(id);
        return false;
    }
    if (!host->isUserAccepted(*author)) {
        host->takeInputCommand(id);
        return false;
    }
    return true;
}

WMailConversation::Pointer WMailCommands::knownConversation(const WMailManager &manager, const KvrConfig &record,
                                                             const QString &author)
{
    const QString wmailid = record.gv(kWmailId);
    return manager.findConversation(wmailid.startsWith(QLatin1Char('{')) ? wmailid : author);
}

WMailCommands::Filed WMailCommands::file(WMailManager &manager, const KvrConfig &record, const QString &author)
{
    if (manager.owner().isEmpty() || !WMailManager::isValidName(author))
        return {};
    // Checked before a conversation is looked up, so that nothing is created
    // for a record that is dropped.
    auto message = WMailStructure::Pointer::create();
    if (!message->deserializeStructure(record.GetValue(kStructure)) || !WMailStructure::isValidId(message->id))
        return {};
    // A new message has no children, and its author is who sent it.
    message->children.clear();
    message->sender = author;

    const QString wmailid = record.gv(kWmailId);
    WMailConversation::Pointer conversation;
    if (wmailid.startsWith(QLatin1Char('{'))) {
        conversation = manager.findConversation(wmailid);
        // A group is written whole at the next save: read it all first. Only
        // its participants may post into it.
        if (!conversation)
            return {};
        if (!conversation->load())
            return {Outcome::NotSaved, conversation, {}, message};
        if (!containsName(conversation->participants(), author))
            return {};
    } else {
        conversation = manager.getUserConversation(author);
        if (!conversation)
            return {};
    }
    if (conversation->containsMessage(message->id))
        return {}; // delivered before, or an attempt to replace a message

    WMailStructure::Pointer parent = conversation->findMessage(record.gv(kParentId));
    if (!parent)
        parent = conversation->root();
    if (!conversation->addMessage(parent, message, record.GetValue(kPlugin), true)) {
        qWarning() << "wmail: message" << message->id << "could not be saved in" << conversation->name();
        return {Outcome::NotSaved, conversation, parent, message};
    }
    return {Outcome::Stored, conversation, parent, message};
}
