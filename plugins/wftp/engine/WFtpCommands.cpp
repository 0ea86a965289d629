#include "WFtpCommands.h"

#include "WFtpMain.h"
#include "WFtpProtocol.h"

#include <IWHost.h>
#include <ThreadUtilities.h>

#include <QBuffer>
#include <QElapsedTimer>
#include <QImageReader>

using namespace WFtpProtocol;

namespace {
const QString PushSharedFolders = GetSharedFolders + ReplySuffix;
const QString PushDisconnectDisc = QStringLiteral("wftp:::disconnectDisc:callback");
const QString KeyName = QStringLiteral("Name");
// Thumbnails are 100 x 100: anything far larger is not decoded.
constexpr int MaxThumbnailSide = 1024;
} // namespace

WFtpCommands::WFtpCommands(WFtpMain &main) : m_main(main) {}

KvrConfig WFtpCommands::newRecord(const QString &command)
{
    KvrConfig record;
    record.SetID();
    record.sv(KeyCommand, command);
    return record;
}

KvrConfig WFtpCommands::ask(const KvrConfig &record, const QString &owner, bool serverConnection,
                            const QString &connectionId)
{
    return send(record, owner, serverConnection, connectionId) ? awaitReply(record, owner) : KvrConfig();
}

bool WFtpCommands::send(const KvrConfig &record, const QString &owner, bool serverConnection,
                        const QString &connectionId)
{
    IWHost *const host = m_main.host();
    if (!host || owner.isEmpty())
        return false;
    host->sendCommand(record, owner, serverConnection, connectionId);
    return true;
}

KvrConfig WFtpCommands::awaitReply(const KvrConfig &record, const QString &owner)
{
    IWHost *const host = m_main.host();
    if (!host)
        return KvrConfig();
    const QString id = record.GetID();
    const KvrConfig reply = host->waitInputCommand(id, WFtpMain::RequestTimeoutMs);
    if (reply.isEmpty()) {
        abandonReply(record);
        return KvrConfig();
    }
    if (reply.gv(KeyCommand) != record.gv(KeyCommand) + ReplySuffix || reply.gv(KeySender) != owner)
        return KvrConfig();
    return reply;
}

void WFtpCommands::abandonReply(const KvrConfig &record)
{
    IWHost *const host = m_main.host();
    if (!host)
        return;
    const QString id = record.GetID();
    m_main.abandonReply(id);
    // One that came before it was marked.
    host->takeInputCommand(id);
}

bool WFtpCommands::route(const QString &virtualPath, QString &owner, bool &serverConnection) const
{
    const KvrConfig parts = m_main.engine()->splitPath(virtualPath);
    owner = parts.gv(QStringLiteral("owner"));
    serverConnection = parts.gv(QStringLiteral("discType")) != QLatin1String("vls");
    return !owner.isEmpty();
}

bool WFtpCommands::askResult(const QString &routingPath, KvrConfig record)
{
    QString owner;
    bool server = false;
    if (!route(routingPath, owner, server))
        return false;
    return ask(record, owner, server).checkResult();
}

void WFtpCommands::getSharedFolders(const QString &user)
{
    IWHost *const host = m_main.host();
    if (!host || user.isEmpty())
        return;
    KvrConfig record = newRecord(GetSharedFolders);
    record.sv(KeyUser, m_main.userName());
    // The answer comes back like the push of the same name.
    host->sendCommand(record, user, false, QString());
}

FolderListing WFtpCommands::listDirectory(const QString &virtualPath, bool withThumbnails)
{
    QString owner;
    bool server = false;
    if (!route(virtualPath, owner, server))
        return FolderListing::failed(FolderListing::Error::Refused);
    FolderListing listing;
    QString after;
    for (int page = 0; page < MaxListingPages; ++page) {
        QString next;
        // The owner pictures the whole folder once, for the first page.
        listing.error = askPage(virtualPath, owner, server, withThumbnails && page == 0, after, listing.rows, next);
        if (!listing.ok() || next.isEmpty())
            return listing.ok() ? listing : FolderListing::failed(listing.error);
        after = next;
    }
    return FolderListing::failed(FolderListing::Error::TooLarge);
}

FolderListing::Error WFtpCommands::askPage(const QString &virtualPath, const QString &owner, bool server,
                                           bool withThumbnails, const QString &after, WDataStructure &listing,
                                           QString &next)
{
    KvrConfig reply;
    QElapsedTimer busy;
    busy.start();
    for (int pause = 50;; pause = qMin(pause * 2, 1000)) {
        KvrConfig record = newRecord(ListDirectory);
        record.sv(KeyUser, m_main.userName());
        record.sv(KeyPath, virtualPath);
        record.sv(KeyGetThumbnails, withThumbnails ? QStringLiteral("true") : QStringLiteral("false"));
        record.sv(KeyAfter, after);
        reply = ask(record, owner, server);
        if (reply.isEmpty())
            return FolderListing::Error::NoReply;
        if (reply.checkResult())
            break;
        if (reply.gv(KeyBusy) != QLatin1String("true"))
            return FolderListing::Error::Refused;
        if (busy.elapsed() + pause > BusyRetryMs)
            return FolderListing::Error::Busy;
        waitWithEvents(pause);
    }
    WDataStructure page;
    if (!page.DeserializeStructure(reply.gv(KeyList)))
        return FolderListing::Error::Damaged;
    // Every row of a page sorts after the page's "after" and no later than
    // its "next", which itself moves on: an owner cannot send a row twice
    // across pages nor keep a requester asking forever.
    const QByteArray from = after.toUtf8();
    QByteArray largest = from;
    for (const auto &row : page.getChildren()) {
        const QString name = row->gv(KeyName);
        if (!isSafeRowName(name))
            continue;
        const QByteArray bytes = name.toUtf8();
        if (!from.isEmpty() && !(from < bytes))
            return FolderListing::Error::Damaged;
        largest = qMax(largest, bytes);
        if (listing.childCount() >= MaxListingRows)
            return FolderListing::Error::TooLarge;
        listing.AddStructure(row);
    }
    next = reply.gv(KeyNext);
    if (!next.isEmpty() && !(from < next.toUtf8() && largest <= next.toUtf8()))
        return FolderListing::Error::Damaged;
    return FolderListing::Error::None;
}

bool WFtpCommands::createDirectory(const QString &virtualPath, const QString &folderName)
{
    KvrConfig record = newRecord(CreateDirectory);
    record.sv(KeyUser, m_main.userName());
    record.sv(KeyPath, virtualPath);
    record.sv(KeyFolderName, folderName);
    return askResult(virtualPath, record);
}

bool WFtpCommands::renameFile(const QString &oldName, const QString &newName)
{
    KvrConfig record = newRecord(RenameFile);
    record.sv(KeyUser, m_main.userName());
    record.sv(KeyOldName, oldName);
    record.sv(KeyNewName, newName);
    return askResult(oldName, record);
}

bool WFtpCommands::deleteFiles(const QStringList &files, QStringList *kept)
{
    if (files.isEmpty())
        return false;
    QString joined;
    for (const QString &file : files) {
        // The separator inside a path would name other files.
        if (file.isEmpty() || file.contains(ListSeparator))
            return false;
        joined += file + ListSeparator;
    }
    KvrConfig record = newRecord(DeleteFiles);
    record.sv(KeyUser, m_main.userName());
    record.sv(KeyFiles, joined);
    QString owner;
    bool server = false;
    if (!route(files.first(), owner, server))
        return false;
    const KvrConfig reply = ask(record, owner, server);
    if (kept) {
        // Only paths that were asked for: the owner names nothing else.
        for (const QString &path : reply.gv(KeyKept).split(ListSeparator, Qt::SkipEmptyParts)) {
            if (files.contains(path))
                kept->append(path);
        }
    }
    return reply.checkResult();
}

bool WFtpCommands::checkFileExist(const QString &virtualPath)
{
    KvrConfig record = newRecord(CheckFileExist);
    record.sv(KeyUser, m_main.userName());
    record.sv(KeyPath, virtualPath);
    return askResult(virtualPath, record);
}

void WFtpCommands::sendSharedFolders(const QString &user)
{
    IWHost *const host = m_main.host();
    if (!host || user.isEmpty())
        return;
    const QStringList discs = m_main.engine()->getSharedDiscs(user);
    if (discs.isEmpty())
        return;
    KvrConfig record = newRecord(PushSharedFolders);
    record.SetResult(true);
    QString joined;
    for (const QString &disc : discs)
        joined += disc + ListSeparator;
    record.sv(KeyDiscs, joined);
    host->sendCommand(record, user, false, QString());
}

void WFtpCommands::sendDisconnectDisc(const QString &path, const QString &user)
{
    IWHost *const host = m_main.host();
    if (!host || user.isEmpty())
        return;
    KvrConfig record = newRecord(PushDisconnectDisc);
    record.sv(KeyPath, path);
    host->sendCommand(record, user, false, QString());
}

bool WFtpCommands::processCallback(const QString &id, const QString &command)
{
    void (WFtpCommands::*handler)(const KvrConfig &) = nullptr;
    if (command == PushSharedFolders)
        handler = &WFtpCommands::onSharedFolders;
    else if (command == PushDisconnectDisc)
        handler = &WFtpCommands::onDisconnectDisc;
    else if (command == ThumbnailPush)
        handler = &WFtpCommands::onFileThumbnail;
    IWHost *const host = m_main.host();
    if (!handler || !host)
        return false;
    const KvrConfig record = host->takeInputCommand(id);
    if (record.isEmpty())
        return false;
    // Only a contact tells us about discs, and only about its own.
    if (m_main.isContact(record.gv(KeySender)))
        (this->*handler)(record);
    return true;
}

bool WFtpCommands::isOwnedBy(const QString &path, const QString &sender) const
{
    if (sender.isEmpty() || path.contains(QChar(0)))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() < 3 || (parts.at(0) != QLatin1String("vls") && parts.at(0) != QLatin1String("vrs"))
        || parts.at(1) != sender)
        return false;
    for (const QString &part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

void WFtpCommands::onSharedFolders(const KvrConfig &record)
{
    const QString sender = record.gv(KeySender);
    const QStringList discs = record.gv(KeyDiscs).split(ListSeparator, Qt::SkipEmptyParts);
    for (const QString &disc : discs) {
        if (isOwnedBy(disc, sender) && m_main.addKnownDisc(disc))
            emit m_main.friendDiscAdded(disc);
    }
}

void WFtpCommands::onDisconnectDisc(const KvrConfig &record)
{
    const QString path = record.gv(KeyPath);
    if (!isOwnedBy(path, record.gv(KeySender)))
        return;
    m_main.removeKnownDisc(path);
    emit m_main.friendDiscRemoved(path);
}

void WFtpCommands::onFileThumbnail(const KvrConfig &record)
{
    const QString path = record.gv(KeyPath);
    if (!isOwnedBy(path, record.gv(KeySender)))
        return;
    auto row = QSharedPointer<WDataStructure>::create();
    if (!row->DeserializeStructure(record.gv(KeyThumbnail)) || !isSafeRowName(row->gv(KeyName)))
        return;
    m_main.fileCache().updateEntry(row, path);

    QByteArray bytes = row->GetValue(KeyThumbnail);
    QBuffer buffer(&bytes);
    QImageReader reader(&buffer, "JPG");
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > MaxThumbnailSide || size.height() > MaxThumbnailSide)
        return;
    const QImage picture = reader.read();
    if (!picture.isNull())
        emit m_main.fileThumbnail(path, row->gv(KeyName), picture);
}

bool WFtpCommands::isSafeRowName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

WDataStructure WFtpCommands::withSafeRows(const WDataStructure &listing)
{
    WDataStructure safe(listing);
    for (const auto &row : safe.getChildren()) {
        if (!isSafeRowName(row->gv(KeyName)))
            safe.DeleteStructure(row);
    }
    return safe;
}
