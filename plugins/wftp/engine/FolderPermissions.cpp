#include "FolderPermissions.h"

#include "WFtpCommands.h"
#include "WFtpMain.h"

#include <IWHost.h>

const QString FolderPermissions::AllUsers = QStringLiteral("allusers");

namespace {
const QString kSection = QStringLiteral("section");
const QString kRoot = QStringLiteral("root");

QStringList serialised(const QList<QSharedPointer<WDataStructure>> &records)
{
    QStringList forms;
    for (const auto &record : records)
        forms << record->SerializeStructure();
    return forms;
}
} // namespace

FolderPermissions::FolderPermissions(WFtpMain &main) : m_main(main) {}

bool FolderPermissions::locate(const QString &virtualPath, QString &disc, QString &folderPath)
{
    const QSharedPointer<WFtpEngine> engine = m_main.engine();
    const KvrConfig split = engine->splitPath(virtualPath);
    const QString me = m_main.userName();
    // A contact's disc may carry the name of one of ours: only our own count.
    if (split.gv(QStringLiteral("discType")) != QLatin1String("vls") || me.isEmpty()
        || split.gv(QStringLiteral("owner")) != me)
        return false;
    disc = split.gv(QStringLiteral("discname"));
    folderPath = split.gv(QStringLiteral("path"));
    const QString section = split.gv(QStringLiteral("root"));
    if (section == kRoot)
        return !disc.isEmpty();
    // Inside a shared folder's section the path continues that folder's own.
    const QSharedPointer<WDataStructure> folder = engine->getSharedFolder(disc, section);
    if (!folder)
        return false;
    folderPath = folder->gv(QStringLiteral("path")) + folderPath;
    return true;
}

QSharedPointer<WDataStructure> FolderPermissions::permittedUsers(const QString &virtualPath)
{
    QString disc, folderPath;
    if (!locate(virtualPath, disc, folderPath))
        return nullptr;
    return m_main.engine()->getDiscPermittedUsersByPath(disc, folderPath, true);
}

bool FolderPermissions::replace(const QString &virtualPath, const QList<QSharedPointer<WDataStructure>> &granted,
                                const QStringList &withoutRights)
{
    QString disc, folderPath;
    if (!locate(virtualPath, disc, folderPath))
        return false;
    const QSharedPointer<WFtpEngine> engine = m_main.engine();
    if (!engine->getSharedFolderByPath(disc, folderPath))
        engine->addSharedFolder(disc, folderPath);
    const QSharedPointer<WDataStructure> users = engine->getDiscPermittedUsersByPath(disc, folderPath, true);
    if (!users)
        return false;

    const QList<QSharedPointer<WDataStructure>> before = users->getChildren();
    users->clearChildren();
    for (const auto &record : granted)
        users->AddStructure(record);

    // Each user concerned is told once; nobody answers to "allusers".
    QStringList keep;
    for (const auto &record : granted)
        keep << record->gv(kSection);
    keep.removeDuplicates();
    QStringList lose = withoutRights;
    for (const auto &record : before)
        lose << record->gv(kSection);
    lose.removeDuplicates();
    for (const QString &user : keep)
        lose.removeAll(user);
    keep.removeAll(AllUsers);
    lose.removeAll(AllUsers);

    WFtpCommands commands(m_main);
    for (const QString &user : keep)
        commands.sendSharedFolders(user);
    const QString folder = engine->translateToSharedFolder(disc, folderPath);
    for (const QString &user : lose)
        commands.sendDisconnectDisc(folder, user);
    // A revocation that is not saved comes back with the next login.
    IWHost *const host = m_main.host();
    if (host && serialised(before) != serialised(granted))
        host->saveAccount();
    return true;
}
