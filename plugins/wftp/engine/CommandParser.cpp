#include "CommandParser.h"

#include "WFtpProtocol.h"

#include <QCryptographicHash>
#include <QFileInfo>

using namespace WFtpProtocol;

namespace {

// Compares digests of equal length byte by byte to the end, so the time a
// guess takes tells nothing about the password.
bool equalInConstantTime(const QByteArray &a, const QByteArray &b)
{
    const QByteArray digestA = QCryptographicHash::hash(a, QCryptographicHash::Sha256);
    const QByteArray digestB = QCryptographicHash::hash(b, QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (int i = 0; i < digestA.size(); ++i)
        difference |= static_cast<unsigned char>(digestA.at(i) ^ digestB.at(i));
    return difference == 0;
}

bool hasRoutingKeys(const KvrConfig &record)
{
    for (int i = 0; i < record.size(); ++i) {
        if (record.GetKey(i).startsWith(RoutingKeyPrefix))
            return true;
    }
    return false;
}

} // namespace

CommandParser::CommandParser(QObject *parent) : QObject(parent), m_engine(QSharedPointer<WFtpEngine>::create()) {}

bool CommandParser::isWebRequest(const QString &command)
{
    return command.startsWith(WebLocalPrefix);
}

qint64 CommandParser::decimal(const QByteArray &value)
{
    bool ok = false;
    const qint64 number = value.trimmed().toLongLong(&ok);
    return ok ? number : 0;
}

KvrConfig CommandParser::defaultReply(const KvrConfig &request)
{
    KvrConfig reply;
    reply.SetValue(KeyId, request.GetValue(KeyId));
    reply.SetValue(KeyCommand, request.GetValue(KeyCommand) + ReplySuffix.toUtf8());
    reply.sv(KeySender, request.gv(KeySender));
    reply.sv(KeyConnection, request.gv(KeyConnection));
    reply.SetResult(false);
    return reply;
}

KvrConfig CommandParser::defaultWebReply(const KvrConfig &request)
{
    KvrConfig reply;
    reply.SetValue(KeyId, request.GetValue(KeyId));
    reply.SetValue(KeyCommand, request.GetValue(KeyCommand));
    reply.SetResult(false);
    return reply;
}

KvrConfig CommandParser::PerformCommand(const KvrConfig &request)
{
    const QString command = request.gv(KeyCommand);
    if (isWebRequest(command)) {
        if (hasRoutingKeys(request))
            return defaultWebReply(request);
        using WebHandler = KvrConfig (CommandParser::*)(const KvrConfig &);
        static const QList<QPair<QString, WebHandler>> webHandlers = {
            {WebCheckAccessible, &CommandParser::checkFileIAccessible},
            {WebCheckPassword, &CommandParser::checkFilePassword},
            {WebOpenFile, &CommandParser::openWebFile},
            {WebReadFile, &CommandParser::readWebFile},
            {WebCloseFile, &CommandParser::closeWebFile},
        };
        for (const auto &handler : webHandlers) {
            if (command == handler.first)
                return (this->*handler.second)(request);
        }
        return defaultWebReply(request);
    }

    // Only a link that authenticated its user may ask; relayed and buffered
    // records carry no link and never hold file-sharing requests.
    const QString sender = request.gv(KeySender);
    if (sender.isEmpty() || request.gv(KeyConnectionId).isEmpty())
        return defaultReply(request);
    using PeerHandler = KvrConfig (CommandParser::*)(const KvrConfig &, const QString &);
    static const QList<QPair<QString, PeerHandler>> peerHandlers = {
        {GetSharedFolders, &CommandParser::getSharedFolders},
        {ListDirectory, &CommandParser::listDirectory},
        {CreateDirectory, &CommandParser::mkDir},
        {RenameFile, &CommandParser::renameFile},
        {DeleteFiles, &CommandParser::deleteFiles},
        {CheckFileExist, &CommandParser::checkFileExist},
        {OpenFile, &CommandParser::openFile},
        {ReadFile, &CommandParser::readFile},
        {ReadFiles, &CommandParser::readFiles},
        {CloseFile, &CommandParser::closeFile},
        {WriteFile, &CommandParser::writeFile},
        {SizeFile, &CommandParser::getFileSize},
        {IsFileOpen, &CommandParser::isFileOpen},
    };
    for (const auto &handler : peerHandlers) {
        if (command == handler.first)
            return (this->*handler.second)(request, sender);
    }
    return defaultReply(request);
}

// ---- peer requests -----------------------------------------------------------

KvrConfig CommandParser::getSharedFolders(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    QString discs;
    for (const QString &path : m_engine->getSharedDiscs(sender))
        discs += path + ListSeparator;
    reply.sv(KeyDiscs, discs);
    reply.SetResult(true);
    return reply;
}

KvrConfig CommandParser::listDirectory(const KvrConfig &request, const QString &sender)
{
    // No file name is longer: an "after" that is can only be made up.
    constexpr int MaxNameBytes = 255;
    KvrConfig reply = defaultReply(request);
    if (!request.CheckKeyExist(KeyPath) || !request.CheckKeyExist(KeyUser)
        || request.GetValue(KeyAfter).size() > MaxNameBytes)
        return reply;
    const QString path = request.gv(KeyPath);
    // Refused or missing folders answer false rather than an empty listing.
    if (!m_engine->checkFileExist(path, sender) || !QFileInfo(m_engine->translateToLocal(path)).isDir())
        return reply;
    const ListingGate::Pass pass = m_listings.tryEnter(sender);
    if (!pass) {
        reply.sv(KeyBusy, QStringLiteral("true"));
        return reply;
    }
    const WFtpEngine::ListingPage page = m_engine->listDirectoryPage(path, sender, request.gv(KeyAfter));
    // A requester that does not page ("after" absent) gets a folder that
    // fits one page, never the first part of a larger one as if it were all.
    if (!page.ok || (!request.CheckKeyExist(KeyAfter) && !page.next.isEmpty()))
        return reply;
    reply.sv(KeyList, page.rows.SerializeStructure());
    if (!page.next.isEmpty())
        reply.sv(KeyNext, page.next);
    reply.SetResult(true);
    if (request.gv(KeyGetThumbnails) == QLatin1String("true") && m_thumbnailSink) {
        const ThumbnailSink sink = m_thumbnailSink;
        m_engine->getFolderThumnailsStartThread(path, sender, [sink, request](const QString &folder, const QString &row) {
            sink(request, folder, row);
        });
    }
    return reply;
}

KvrConfig CommandParser::mkDir(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    if (request.CheckKeyExist(KeyPath) && request.CheckKeyExist(KeyUser))
        reply.SetResult(m_engine->createDirectory(request.gv(KeyPath), request.gv(KeyFolderName), sender));
    return reply;
}

KvrConfig CommandParser::renameFile(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    if (request.CheckKeyExist(KeyOldName) && request.CheckKeyExist(KeyUser))
        reply.SetResult(m_engine->renameFile(request.gv(KeyOldName), request.gv(KeyNewName), sender));
    return reply;
}

KvrConfig CommandParser::deleteFiles(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    if (!request.CheckKeyExist(KeyFiles) || !request.CheckKeyExist(KeyUser))
        return reply;
    const QStringList files = request.gv(KeyFiles).split(ListSeparator, Qt::SkipEmptyParts);
    if (files.isEmpty())
        return reply;
    QStringList kept;
    reply.SetResult(m_engine->deleteFiles(files, sender, &kept));
    // Folders that stay for their hidden entries, which the asker may not see.
    if (!kept.isEmpty())
        reply.sv(KeyKept, kept.join(ListSeparator) + ListSeparator);
    return reply;
}

KvrConfig CommandParser::checkFileExist(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    reply.SetResult(m_engine->checkFileExist(request.gv(KeyPath), sender));
    return reply;
}

KvrConfig CommandParser::openFile(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    // "mode" is optional: peers that never send it keep the old read-write open.
    const QString mode = request.gv(KeyMode);
    WFtpEngine::OpenMode openMode = WFtpEngine::OpenMode::Default;
    if (mode == QLatin1String("r"))
        openMode = WFtpEngine::OpenMode::ReadOnly;
    else if (mode == QLatin1String("w"))
        openMode = WFtpEngine::OpenMode::Replace;
    else if (!mode.isEmpty() && mode != QLatin1String("rw"))
        return reply;
    // "size", with "w": the bytes the new file must hold to replace the old.
    qint64 expectedSize = -1;
    if (request.CheckKeyExist(KeySize)) {
        bool ok = false;
        expectedSize = request.GetValue(KeySize).trimmed().toLongLong(&ok);
        if (!ok || expectedSize < 0)
            return reply;
    }
    const QString id = m_engine->openFile(request.gv(KeyPath), sender, openMode, expectedSize);
    if (!id.isEmpty()) {
        reply.sv(KeyFileId, id);
        reply.SetResult(true);
    }
    return reply;
}

KvrConfig CommandParser::readFile(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    const qint64 from = decimal(request.GetValue(KeyFrom));
    const qint64 count = decimal(request.GetValue(KeyCount));
    // A well-formed read answers true whatever it found (the data tells); one
    // out of range is refused.
    if (from < 0 || count < 0 || count > WFtpEngine::MaxPeerReadBytes)
        return reply;
    reply.SetValue(KeyBinary, QByteArrayLiteral("true"));
    reply.SetValue(KeyData, m_engine->readFile(request.gv(KeyFileId), FileOpener::peer(sender), from, count));
    reply.SetResult(true);
    return reply;
}

KvrConfig CommandParser::readFiles(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    QStringList names;
    if (!request.CheckKeyExist(KeyPath) || !SmallFileBatch::decodeNames(request.GetValue(KeyFiles), &names))
        return reply;
    const QVector<SmallFileBatch::File> files = m_engine->readSmallFiles(request.gv(KeyPath), names, sender);
    if (files.isEmpty())
        return reply;
    SmallFileBatch::writeReply(files, reply);
    reply.SetResult(true);
    return reply;
}

KvrConfig CommandParser::writeFile(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    // "from" is optional: without it the write continues where the last ended.
    qint64 from = -1;
    if (request.CheckKeyExist(KeyFrom)) {
        bool ok = false;
        from = request.GetValue(KeyFrom).trimmed().toLongLong(&ok);
        if (!ok || from < 0)
            return reply;
    }
    reply.SetResult(
        m_engine->writeFile(request.gv(KeyFileId), FileOpener::peer(sender), request.GetValue(KeyData), from));
    return reply;
}

KvrConfig CommandParser::closeFile(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    const QString id = request.gv(KeyFileId);
    const FileOpener opener = FileOpener::peer(sender);
    if (request.gv(KeyGiveUp) == QLatin1String("1")) {
        m_engine->giveUpFile(id, opener);
        reply.SetResult(true);
    } else {
        reply.SetResult(m_engine->closeFile(id, opener));
    }
    return reply;
}

KvrConfig CommandParser::getFileSize(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    reply.SetValue(KeySize,
                   QByteArray::number(m_engine->getFileSize(request.gv(KeyFileId), FileOpener::peer(sender))));
    reply.SetResult(true);
    return reply;
}

KvrConfig CommandParser::isFileOpen(const KvrConfig &request, const QString &sender)
{
    KvrConfig reply = defaultReply(request);
    reply.SetResult(m_engine->isFileOpen(request.gv(KeyFileId), FileOpener::peer(sender)));
    return reply;
}

// ---- web requests ------------------------------------------------------------

QSharedPointer<WDataStructure> CommandParser::webFileFor(const KvrConfig &request, bool checkPassword)
{
    const auto record = m_engine->servableWebFile(request.gv(KeyWebFileId));
    if (!record || !checkPassword)
        return record;
    const QByteArray stored = record->GetValue(KeyPassword);
    return stored.isEmpty() || equalInConstantTime(stored, request.GetValue(KeyPassword)) ? record : nullptr;
}

KvrConfig CommandParser::checkFileIAccessible(const KvrConfig &request)
{
    KvrConfig reply = defaultWebReply(request);
    const auto record = webFileFor(request, false);
    if (!record)
        return reply;
    reply.sv(KeyPasswordRequired, record->GetValue(KeyPassword).isEmpty() ? QStringLiteral("false")
                                                                           : QStringLiteral("true"));
    reply.sv(KeyFileName, QFileInfo(record->gv(KeyPath)).fileName());
    reply.SetResult(true);
    return reply;
}

KvrConfig CommandParser::checkFilePassword(const KvrConfig &request)
{
    KvrConfig reply = defaultWebReply(request);
    reply.SetResult(!webFileFor(request, true).isNull());
    return reply;
}

KvrConfig CommandParser::openWebFile(const KvrConfig &request)
{
    KvrConfig reply = defaultWebReply(request);
    if (!webFileFor(request, true))
        return reply;
    const QString id = m_engine->openWebFile(request.gv(KeyWebFileId));
    if (id.isEmpty())
        return reply;
    reply.sv(KeyOpenId, id);
    reply.sv(KeyFileSize, QString::number(m_engine->getFileSize(id, FileOpener::web())));
    reply.SetResult(true);
    return reply;
}

KvrConfig CommandParser::readWebFile(const KvrConfig &request)
{
    KvrConfig reply = defaultWebReply(request);
    const QString id = request.gv(KeyOpenId);
    const qint64 from = decimal(request.GetValue(KeyFrom));
    const qint64 count = decimal(request.GetValue(KeyCount));
    if (id.isEmpty() || from < 0 || count < 0 || count > WFtpEngine::MaxWebReadBytes)
        return reply;
    // Only a file this road opened, and only while it stays published.
    if (!m_engine->isFileOpen(id, FileOpener::web()))
        return reply;
    reply.SetValue(KeyData, m_engine->readFile(id, FileOpener::web(), from, count).toBase64());
    reply.SetResult(true);
    return reply;
}

KvrConfig CommandParser::closeWebFile(const KvrConfig &request)
{
    KvrConfig reply = defaultWebReply(request);
    const QString id = request.gv(KeyOpenId);
    reply.SetResult(!id.isEmpty() && m_engine->closeFile(id, FileOpener::web()));
    return reply;
}
