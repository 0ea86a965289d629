#pragma once

#include "FolderListing.h"

#include <KvrConfig.h>
#include <WDataStructure.h>

#include <QString>
#include <QStringList>

class WFtpMain;

// The asking side of file sharing: requests on a contact's disc, each sent to
// the path's owner and answered within RequestTimeoutMs, the pushes one
// client sends another unasked, and the handling of those pushes.
//
// Nothing a peer sends is trusted: a reply counts only when it is named after
// its request and comes from the user it was sent to; pushes count only from
// contacts and only for their own discs; listing rows whose names could leave
// a folder are dropped.
class WFtpCommands
{
public:
    // What one listing may hold here, whatever the owner sends.
    static constexpr int MaxListingRows = 500000;
    static constexpr int MaxListingPages = 20000;
    // How long a listing page is asked for again while the owner is busy.
    static constexpr int BusyRetryMs = 30000;

    explicit WFtpCommands(WFtpMain &main);

    // Requests (false or an empty listing on refusal, time-out or a forged reply).
    void getSharedFolders(const QString &user);
    // Every page of the folder, asked one after another. A transfer needs no
    // thumbnails: the owner then makes and pushes none.
    FolderListing listDirectory(const QString &virtualPath, bool withThumbnails = true);
    bool createDirectory(const QString &virtualPath, const QString &folderName);
    bool renameFile(const QString &oldName, const QString &newName);
    // kept: the folders the owner left in place for their hidden entries.
    bool deleteFiles(const QStringList &files, QStringList *kept = nullptr);
    bool checkFileExist(const QString &virtualPath);

    // Pushes.
    void sendSharedFolders(const QString &user);
    void sendDisconnectDisc(const QString &path, const QString &user);

    // Handles an arriving push; false for any other command.
    bool processCallback(const QString &id, const QString &command);

    // A new record for a request: fresh "ID" and its command.
    static KvrConfig newRecord(const QString &command);
    // Sends record to owner and returns the reply: empty when none came in
    // time or it is not the answer to this request from that owner.
    KvrConfig ask(const KvrConfig &record, const QString &owner, bool serverConnection,
                  const QString &connectionId = QString());
    // ask in two halves, so several requests can be on their way at once:
    // send returns at once (false when there is nobody to send to), and
    // awaitReply waits for the answer as ask does. A reply nobody will wait
    // for is abandoned: it is dropped when it comes.
    bool send(const KvrConfig &record, const QString &owner, bool serverConnection,
              const QString &connectionId = QString());
    KvrConfig awaitReply(const KvrConfig &record, const QString &owner);
    void abandonReply(const KvrConfig &record);

    // A listing row name that stays inside its folder.
    static bool isSafeRowName(const QString &name);
    static WDataStructure withSafeRows(const WDataStructure &listing);

private:
    // One page after `after` into listing; next is where the following one
    // starts ("" after the last).
    FolderListing::Error askPage(const QString &virtualPath, const QString &owner, bool server, bool withThumbnails,
                                 const QString &after, WDataStructure &listing, QString &next);
    // The owner and server-connection flag of a virtual path; false when the
    // path names no owner.
    bool route(const QString &virtualPath, QString &owner, bool &serverConnection) const;
    bool askResult(const QString &routingPath, KvrConfig record);
    // A virtual path of a disc that sender owns.
    bool isOwnedBy(const QString &path, const QString &sender) const;

    void onSharedFolders(const KvrConfig &record);
    void onDisconnectDisc(const KvrConfig &record);
    void onFileThumbnail(const KvrConfig &record);

    WFtpMain &m_main;
};
