#pragma once

#include "ListingGate.h"
#include "WFtpEngine.h"

#include <KvrConfig.h>

#include <QObject>
#include <QSharedPointer>

#include <functional>

// The request server: turns one file-sharing request (a peer's "wftp:::" or
// the web server's "WebLocal::wftp:::") into its reply, through its own
// engine. It sends nothing itself; thumbnails of a listing leave through the
// sink the owner of the parser sets.
//
// A peer request is judged for the user its link authenticated
// ("Wivora::sender"), never for a name written inside it, and is refused
// without one. A web request carries no routing keys: one that does came
// from a peer and is refused.
class CommandParser : public QObject
{
    Q_OBJECT

public:
    // Sends one thumbnail push for the listing request it belongs to.
    using ThumbnailSink = std::function<void(const KvrConfig &request, const QString &folderPath, const QString &row)>;

    explicit CommandParser(QObject *parent = nullptr);

    QSharedPointer<WFtpEngine> engine() const { return m_engine; }
    ListingGate &listingGate() { return m_listings; }
    void setThumbnailSink(ThumbnailSink sink) { m_thumbnailSink = std::move(sink); }

    KvrConfig PerformCommand(const KvrConfig &request);

    static bool isWebRequest(const QString &command);

private:
    static KvrConfig defaultReply(const KvrConfig &request);
    static KvrConfig defaultWebReply(const KvrConfig &request);
    // "from" and "count" as signed 64-bit decimals; text that is no number is 0.
    static qint64 decimal(const QByteArray &value);

    KvrConfig getSharedFolders(const KvrConfig &request, const QString &sender);
    KvrConfig listDirectory(const KvrConfig &request, const QString &sender);
    KvrConfig mkDir(const KvrConfig &request, const QString &sender);
    KvrConfig renameFile(const KvrConfig &request, const QString &sender);
    KvrConfig deleteFiles(const KvrConfig &request, const QString &sender);
    KvrConfig checkFileExist(const KvrConfig &request, const QString &sender);
    KvrConfig openFile(const KvrConfig &request, const QString &sender);
    KvrConfig readFile(const KvrConfig &request, const QString &sender);
    KvrConfig readFiles(const KvrConfig &request, const QString &sender);
    KvrConfig closeFile(const KvrConfig &request, const QString &sender);
    KvrConfig writeFile(const KvrConfig &request, const QString &sender);
    KvrConfig getFileSize(const KvrConfig &request, const QString &sender);
    KvrConfig isFileOpen(const KvrConfig &request, const QString &sender);

    KvrConfig checkFileIAccessible(const KvrConfig &request);
    KvrConfig checkFilePassword(const KvrConfig &request);
    KvrConfig openWebFile(const KvrConfig &request);
    KvrConfig readWebFile(const KvrConfig &request);
    KvrConfig closeWebFile(const KvrConfig &request);
    // The published, servable file and whether the request's password opens it.
    QSharedPointer<WDataStructure> webFileFor(const KvrConfig &request, bool checkPassword);

    QSharedPointer<WFtpEngine> m_engine;
    ThumbnailSink m_thumbnailSink;
    ListingGate m_listings;
};
