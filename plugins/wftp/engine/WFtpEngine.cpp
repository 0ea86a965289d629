#include "WFtpEngine.h"

#include "PartialFile.h"
#include "ShareRights.h"
#include "ThumbnailMaker.h"
#include "WFtpProtocol.h"

#include <WivoraAccount.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QUuid>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

const QString kDiscsPath = QStringLiteral("wftp/shareddiscs");
const QString kWebFilesPath = QStringLiteral("wftp/sharedwebfiles");
const QString kUsersPath = QStringLiteral("wftp/users");
const QString kSection = QStringLiteral("section");
const QString kPath = QStringLiteral("path");
const QString kRoot = QStringLiteral("root");
const QString kPermittedUsers = QStringLiteral("permittedusers");
const QString kAllUsers = QStringLiteral("allusers");
const QString kValidTo = QStringLiteral("validTo");
const QString kPassword = QStringLiteral("password");

// Both engines of the plug-in change one account tree: check-then-change
// sequences on it run under this one lock.
std::recursive_mutex &treeLock()
{
    static std::recursive_mutex lock;
    return lock;
}

// A path component a peer may name: never "." or "..", never a separator or
// NUL, nothing the local file-name encoding cannot carry, and never an
// upload's temporary file.
bool isSafeComponent(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0))
        && !name.contains(QChar::ReplacementCharacter) && !PartialFile::isTemporaryName(name);
}

bool isInside(const QString &canonical, const QString &canonicalBase)
{
    if (canonical.isEmpty() || canonicalBase.isEmpty())
        return false;
    if (canonical == canonicalBase || canonicalBase == QLatin1String("/"))
        return true;
    return canonical.startsWith(canonicalBase + QLatin1Char('/'));
}

// True when something, a dangling link included, is at path.
bool entryExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// A disc or folder name goes into virtual paths and "|"-joined lists.
QString safeSectionName(QString name)
{
    name.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('|'), QLatin1Char('_'));
    return name.isEmpty() ? QStringLiteral("disc") : name;
}

// The counter rule of disc and folder names: Music, Music1, Music12, ...
QString uniqueSection(const QSharedPointer<WDataStructure> &parent, QString name)
{
    for (int counter = 1; parent->GetStructureByValue(kSection, name); ++counter)
        name += QString::number(counter);
    return name;
}

// Removes what a listing of the folder shows but its hidden entries, and
// then the folder when nothing is left; links are removed, never followed.
// False when a visible entry could not be removed.
bool removeFolderKeepingHidden(const QString &folder)
{
    bool removed = true;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink()) {
            if (!removeFolderKeepingHidden(entry.filePath()))
                removed = false;
        } else if (!QFile::remove(entry.filePath())) {
            removed = false;
        }
    }
    // Fails, as it should, on a folder that still holds hidden entries.
    QDir().rmdir(folder);
    return removed;
}

QSharedPointer<WDataStructure> newNode(const QString &section)
{
    auto node = QSharedPointer<WDataStructure>::create();
    node->sv(kSection, section);
    return node;
}

} // namespace

WFtpEngine::WFtpEngine(QObject *parent) : WFtpEngine(nullptr, parent) {}

WFtpEngine::WFtpEngine(const QSharedPointer<IAccountProvider> &provider, QObject *parent)
    : QObject(parent), m_provider(provider), m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
{
}

WFtpEngine::~WFtpEngine()
{
    // Thumbnail tasks use the engine: none may outlive it.
    m_thumbnails.waitForDone();
}

void WFtpEngine::setAccountProvider(const QSharedPointer<IAccountProvider> &provider)
{
    m_provider = provider;
}

void WFtpEngine::setClock(std::function<qint64()> clock)
{
    m_clock = std::move(clock);
}

QSharedPointer<WivoraAccount> WFtpEngine::account()
{
    QSharedPointer<WivoraAccount> account = m_provider ? m_provider->getAccount() : nullptr;
    return account ? account : QSharedPointer<WivoraAccount>::create();
}

QString WFtpEngine::ownerName()
{
    return account()->getUserName();
}

QString WFtpEngine::prefix()
{
    return m_provider && !m_provider->isLocal() ? QStringLiteral("vrs/") : QStringLiteral("vls/");
}

QDateTime WFtpEngine::now() const
{
    return QDateTime::fromMSecsSinceEpoch(m_clock(), Qt::UTC);
}

bool WFtpEngine::ownsPath(const QString &user)
{
    const QString owner = ownerName();
    return !owner.isEmpty() && user == owner;
}

// ---- discs and folders -------------------------------------------------------

QSharedPointer<WDataStructure> WFtpEngine::discsNode(bool create)
{
    return account()->accountData->getSettingStructure(kDiscsPath, create);
}

QSharedPointer<WDataStructure> WFtpEngine::webFilesNode(bool create)
{
    return account()->accountData->getSettingStructure(kWebFilesPath, create);
}

QSharedPointer<WDataStructure> WFtpEngine::getSharedDiscs()
{
    return discsNode(false);
}

QSharedPointer<WDataStructure> WFtpEngine::getSharedDisc(const QString &name)
{
    const auto discs = discsNode(false);
    return discs ? discs->GetStructureByValue(kSection, name) : nullptr;
}

QString WFtpEngine::addSharedDisc(const QString &path, const QString &name)
{
    if (ownerName().isEmpty())
        return QString();
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    const auto discs = discsNode(true);
    if (const auto existing = discs->GetStructureByValue(kPath, path))
        return existing->gv(kSection);
    const QString section = uniqueSection(discs, safeSectionName(name.isEmpty() ? QDir(path).dirName() : name));
    auto disc = newNode(section);
    disc->sv(kPath, path);
    discs->AddStructure(disc);
    saveSharedDiscs();
    return section;
}

bool WFtpEngine::removeSharedDisc(const QString &name)
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    const auto discs = discsNode(false);
    if (!discs || !discs->DeleteStructure(name))
        return false;
    saveSharedDiscs();
    return true;
}

bool WFtpEngine::saveSharedDiscs()
{
    if (!m_provider || ownerName().isEmpty())
        return false;
    m_provider->saveAccount();
    return true;
}

bool WFtpEngine::addSharedFolder(const QString &disc, const QString &path)
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    const auto discNode = getSharedDisc(disc);
    if (!discNode || discNode->GetStructureByValue(kPath, path))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const QString name = uniqueSection(discNode, parts.isEmpty() ? kRoot : safeSectionName(parts.last()));
    auto folder = newNode(name);
    folder->sv(kPath, path);
    discNode->AddStructure(folder);
    saveSharedDiscs();
    return true;
}

bool WFtpEngine::removeSharedFolder(const QString &disc, const QString &path)
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    const auto folder = getSharedFolderByPath(disc, path);
    return folder && getSharedDisc(disc)->DeleteStructure(folder);
}

QSharedPointer<WDataStructure> WFtpEngine::getSharedFolder(const QString &disc, const QString &folder)
{
    const auto discNode = getSharedDisc(disc);
    if (!discNode)
        return nullptr;
    return discNode->GetStructureByValue(kSection, folder.isEmpty() ? QStringLiteral("top") : folder);
}

QSharedPointer<WDataStructure> WFtpEngine::getSharedFolderByPath(const QString &disc, const QString &path)
{
    const auto discNode = getSharedDisc(disc);
    if (!discNode)
        return nullptr;
    // The root entry has no "path": an empty path finds it.
    for (const auto &child : discNode->getChildren()) {
        if (child->gv(kPath) == path)
            return child;
    }
    return nullptr;
}

QSharedPointer<WDataStructure> WFtpEngine::folderNode(const QString &disc, const QString &folder)
{
    return getSharedFolder(disc, folder.isEmpty() ? kRoot : folder);
}

// ---- permitted users ---------------------------------------------------------

QSharedPointer<WDataStructure> WFtpEngine::getDiscPermittedUsers(const QString &disc, const QString &folder)
{
    const auto node = folderNode(disc, folder);
    return node ? node->GetStructureByValue(kSection, kPermittedUsers) : nullptr;
}

QSharedPointer<WDataStructure> WFtpEngine::getDiscPermittedUsersByPath(const QString &disc, const QString &path,
                                                                       bool create)
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    const auto folder = getSharedFolderByPath(disc, path);
    if (!folder)
        return nullptr;
    auto users = folder->GetStructureByValue(kSection, kPermittedUsers);
    if (!users && create) {
        users = newNode(kPermittedUsers);
        folder->AddStructure(users);
    }
    return users;
}

QSharedPointer<WDataStructure> WFtpEngine::getPermittedUser(const QString &user, const QString &disc,
                                                            const QString &folder)
{
    const auto users = getDiscPermittedUsers(disc, folder);
    return users ? users->GetStructureByValue(kSection, user) : nullptr;
}

bool WFtpEngine::addPermittedUser(const QSharedPointer<WDataStructure> &record, const QString &disc,
                                  const QString &folder)
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    if (!record || !getSharedDisc(disc))
        return false;
    const QString folderSection = folder.isEmpty() ? kRoot : folder;
    auto users = getDiscPermittedUsers(disc, folderSection);
    if (!users) {
        users = account()->accountData->getSettingStructure(
            kDiscsPath + QLatin1Char('/') + disc + QLatin1Char('/') + folderSection + QLatin1Char('/')
                + kPermittedUsers,
            true);
    } else if (users->GetStructureByValue(kSection, record->gv(kSection))) {
        return true;
    }
    users->AddStructure(record);
    saveSharedDiscs();
    return true;
}

bool WFtpEngine::setPermittedUser(const QSharedPointer<WDataStructure> &record, const QString &disc,
                                  const QString &folder)
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    if (!record)
        return false;
    if (const auto users = getDiscPermittedUsers(disc, folder)) {
        while (users->DeleteStructure(record->gv(kSection))) {
        }
    }
    return addPermittedUser(record, disc, folder);
}

bool WFtpEngine::deletePermittedUser(const QString &user, const QString &disc, const QString &folder)
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    const auto users = getDiscPermittedUsers(disc, folder);
    bool removed = false;
    // Every record of the name: a duplicate left behind would keep a revoked user in.
    while (users && users->DeleteStructure(user))
        removed = true;
    if (removed)
        saveSharedDiscs();
    return removed;
}

int WFtpEngine::getUserPermission(const QString &disc, const QString &folder, const QString &user)
{
    if (user.isEmpty())
        return ShareRights::None;
    if (ownsPath(user))
        return ShareRights::Full;
    const auto users = getDiscPermittedUsers(disc, folder);
    if (!users)
        return ShareRights::None;
    const QDateTime when = now();
    int rights = ShareRights::None;
    // Every record of the name counts, as every one would be listed.
    for (const auto &record : users->getChildren()) {
        if (record->gv(kSection) == user)
            rights |= ShareRights::ofRecord(record, when);
    }
    return rights;
}

int WFtpEngine::getUserPermission(const QString &path, const QString &user)
{
    const KvrConfig split = splitPath(path);
    if (user.isEmpty() || split.gv(QStringLiteral("owner")) != ownerName() || ownerName().isEmpty())
        return ShareRights::None;
    if (ownsPath(user))
        return ShareRights::Full;
    const QString disc = split.gv(QStringLiteral("discname"));
    const QString folder = split.gv(QStringLiteral("root"));
    return getUserPermission(disc, folder, user) | getUserPermission(disc, folder, kAllUsers);
}

bool WFtpEngine::clearOverduePermissions()
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    const auto discs = discsNode(false);
    if (!discs)
        return true;
    const QDateTime when = now();
    bool removed = false;
    for (const auto &disc : discs->getChildren()) {
        for (const auto &folder : disc->getChildren()) {
            const auto users = folder->GetStructureByValue(kSection, kPermittedUsers);
            if (!users)
                continue;
            for (const auto &record : users->getChildren()) {
                if (ShareRights::hasExpired(record, when)) {
                    users->DeleteStructure(record);
                    removed = true;
                }
            }
        }
    }
    if (removed)
        saveSharedDiscs();
    return true;
}

// ---- saved users -------------------------------------------------------------

QStringList WFtpEngine::getSavedUsers()
{
    return QString::fromUtf8(account()->accountData->getSetting(kUsersPath))
        .split(WFtpProtocol::ListSeparator, Qt::SkipEmptyParts);
}

bool WFtpEngine::saveUsers(const QStringList &users)
{
    if (!m_provider || ownerName().isEmpty())
        return false;
    QString joined;
    for (const QString &user : users)
        joined += user + WFtpProtocol::ListSeparator;
    account()->accountData->setSetting(kUsersPath, joined.toUtf8());
    m_provider->saveAccount();
    return true;
}

bool WFtpEngine::checkUserExist(const QString &user, const QStringList &users)
{
    return users.contains(user);
}

bool WFtpEngine::addUser(const QString &user)
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    QStringList users = getSavedUsers();
    if (!checkUserExist(user, users)) {
        users.append(user);
        saveUsers(users);
    }
    return true;
}

bool WFtpEngine::deleteUser(const QString &user)
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    QStringList users = getSavedUsers();
    return users.removeAll(user) > 0 && saveUsers(users);
}

// ---- virtual paths -----------------------------------------------------------

KvrConfig WFtpEngine::splitPath(const QString &virtualPath) const
{
    KvrConfig split;
    const QStringList parts = virtualPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return split;
    split.sv(QStringLiteral("discType"), parts.value(0));
    split.sv(QStringLiteral("owner"), parts.value(1));
    split.sv(QStringLiteral("discname"), parts.value(2));
    split.sv(QStringLiteral("root"), parts.size() > 3 ? parts.at(3) : kRoot);
    // The rest by position: an owner or disc named like the fourth part must
    // not shift it.
    QString rest;
    for (int i = 4; i < parts.size(); ++i)
        rest += QLatin1Char('/') + parts.at(i);
    split.sv(QStringLiteral("path"), rest);
    return split;
}

ResolvedPath WFtpEngine::resolve(const QString &virtualPath)
{
    ResolvedPath resolved;
    const QString owner = ownerName();
    const QStringList parts = virtualPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (owner.isEmpty() || parts.size() < 3 || parts.at(1) != owner
        || (parts.at(0) != QLatin1String("vls") && parts.at(0) != QLatin1String("vrs")))
        return resolved;
    resolved.discName = parts.at(2);
    resolved.folder = parts.size() > 3 ? parts.at(3) : kRoot;
    const QStringList restParts = parts.mid(4);
    for (const QString &part : restParts) {
        if (!isSafeComponent(part))
            return resolved;
    }
    resolved.rest = restParts.isEmpty() ? QString() : QLatin1Char('/') + restParts.join(QLatin1Char('/'));
    if (QFile::encodeName(resolved.rest).size() >= PATH_MAX)
        return resolved;

    // The disc, then the folder by its exact section: an unknown folder is
    // refused, never taken for the disc root.
    const auto disc = getSharedDisc(resolved.discName);
    const QString discPath = disc ? disc->gv(kPath) : QString();
    if (discPath.isEmpty() || !QFileInfo(discPath).isDir())
        return resolved;
    const auto folder = getSharedFolder(resolved.discName, resolved.folder);
    if (resolved.folder != kRoot && !folder)
        return resolved;
    const QString canonicalDisc = QFileInfo(discPath).canonicalFilePath();
    const QString base = QDir::cleanPath(discPath + QLatin1Char('/') + (folder ? folder->gv(kPath) : QString()));
    resolved.canonicalBase = QFileInfo(base).canonicalFilePath();
    if (!QFileInfo(base).isDir() || !isInside(resolved.canonicalBase, canonicalDisc))
        return resolved;

    // Containment after links: the target itself when something is there,
    // else the folder that would receive it.
    resolved.local = QDir::cleanPath(base + resolved.rest);
    resolved.exists = entryExists(resolved.local);
    const QString checked = resolved.exists ? resolved.local : QFileInfo(resolved.local).path();
    resolved.ok = isInside(QFileInfo(checked).canonicalFilePath(), resolved.canonicalBase);
    return resolved;
}

QString WFtpEngine::translateToLocal(const QString &virtualPath)
{
    const ResolvedPath resolved = resolve(virtualPath);
    return resolved.ok ? resolved.local : QString();
}

QString WFtpEngine::translateToSharedFolder(const QString &disc, const QString &path)
{
    const auto discNode = getSharedDisc(disc);
    const auto folder = getSharedFolderByPath(disc, path);
    if (!discNode || !folder)
        return QString();
    const QString section = folder->gv(kSection);
    return prefix() + ownerName() + QLatin1Char('/') + discNode->gv(kSection) + QLatin1Char('/')
        + (section == kRoot ? kRoot : section);
}

QStringList WFtpEngine::getSharedDiscs(const QString &user)
{
    QStringList paths;
    const auto discs = discsNode(false);
    const QString owner = ownerName();
    if (!discs || owner.isEmpty() || user.isEmpty())
        return paths;
    const QString ownPrefix = prefix() + owner + QLatin1Char('/');
    for (const auto &disc : discs->getChildren()) {
        const QString discName = disc->gv(kSection);
        if (user == owner) {
            paths.append(ownPrefix + discName + QLatin1Char('/') + kRoot);
            continue;
        }
        for (const auto &folder : disc->getChildren()) {
            const QString section = folder->gv(kSection);
            // Only a live grant of the user's own shows the folder.
            if (getUserPermission(discName, section, user) == ShareRights::None)
                continue;
            const QString path = ownPrefix + discName + QLatin1Char('/') + section;
            const ResolvedPath resolved = resolve(path);
            if (resolved.ok && QFileInfo(resolved.local).isDir() && !paths.contains(path))
                paths.append(path);
        }
    }
    return paths;
}

QMap<QString, QStringList> WFtpEngine::getUsersSharedDiscs(const QString &disc)
{
    QMap<QString, QStringList> byUser;
    const auto discNode = getSharedDisc(disc);
    if (!discNode)
        return byUser;
    const QString discPath = prefix() + ownerName() + QLatin1Char('/') + disc;
    for (const auto &folder : discNode->getChildren()) {
        const QString section = folder->gv(kSection);
        const QString path = section == kRoot ? discPath : discPath + QLatin1Char('/') + section;
        const auto users = folder->GetStructureByValue(kSection, kPermittedUsers);
        if (!users)
            continue;
        for (const auto &record : users->getChildren()) {
            QStringList &list = byUser[record->gv(kSection)];
            if (!list.contains(path))
                list.append(path);
        }
    }
    return byUser;
}

QString WFtpEngine::getFileName(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString WFtpEngine::getExtension(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot);
}

// ---- folder operations -------------------------------------------------------

int WFtpEngine::rightsOn(const ResolvedPath &resolved, const QString &user)
{
    if (!resolved.ok || user.isEmpty())
        return ShareRights::None;
    if (ownsPath(user))
        return ShareRights::Full;
    return getUserPermission(resolved.discName, resolved.folder, user)
        | getUserPermission(resolved.discName, resolved.folder, kAllUsers);
}

void WFtpEngine::fillRow(WDataStructure &row, const FolderReader::Entry &entry, const QString &discName,
                         const QString &rest, bool forOwner)
{
    row.SetValue(QStringLiteral("Name"), entry.name);
    row.SetValue(QStringLiteral("Directory"), entry.isDir);
    row.SetValue(QStringLiteral("Modified"), entry.modified());
    row.SetValue(QStringLiteral("Size"), QByteArray::number(entry.size));
    const int dot = entry.name.lastIndexOf('.');
    row.SetValue(QStringLiteral("Extension"), entry.isDir ? QByteArrayLiteral("directory") : entry.name.mid(dot + 1));
    bool shared = false;
    if (forOwner && entry.isDir) {
        const auto users = getDiscPermittedUsersByPath(discName, rest + QLatin1Char('/') + entry.fileName(), false);
        shared = users && users->childCount() > 0;
    }
    row.SetValue(QStringLiteral("isShared"), shared);
}

WFtpEngine::ListingPage WFtpEngine::listDirectoryPage(const QString &path, const QString &user, const QString &after)
{
    ListingPage page;
    const ResolvedPath resolved = resolve(path);
    if (rightsOn(resolved, user) == ShareRights::None || !QFileInfo(resolved.local).isDir())
        return page;
    page.ok = true;
    const bool forOwner = ownsPath(user);
    const FolderReader::Page entries =
        FolderReader::readPage(resolved.local, after.toUtf8(), qMax(1, m_pageLimits.rows));
    // The reply is Base64 of the rows' binary form, each row a record with
    // its length and child count.
    constexpr int RowFraming = 8;
    qint64 textBytes = 0;
    for (const FolderReader::Entry &entry : qAsConst(entries.entries)) {
        auto row = QSharedPointer<WDataStructure>::create();
        fillRow(*row, entry, resolved.discName, resolved.rest, forOwner);
        textBytes += (row->values().SerializeConfigBinary().size() + RowFraming) * 4 / 3 + 1;
        if (textBytes > m_pageLimits.bytes && page.rows.childCount() > 0) {
            page.next = page.rows.GetStructureByPos(page.rows.childCount() - 1)->gv(QStringLiteral("Name"));
            return page;
        }
        page.rows.AddStructure(row);
    }
    if (entries.more)
        page.next = QString::fromUtf8(entries.last);
    return page;
}

WDataStructure WFtpEngine::listDirectory(const QString &path, const QString &user, bool)
{
    WDataStructure listing;
    const ResolvedPath resolved = resolve(path);
    if (rightsOn(resolved, user) == ShareRights::None || !QFileInfo(resolved.local).isDir())
        return listing;
    const bool forOwner = ownsPath(user);
    for (const FolderReader::Entry &entry : FolderReader::read(resolved.local)) {
        auto row = QSharedPointer<WDataStructure>::create();
        fillRow(*row, entry, resolved.discName, resolved.rest, forOwner);
        listing.AddStructure(row);
    }
    return listing;
}

bool WFtpEngine::createDirectory(const QString &path, const QString &folderName, const QString &user)
{
    const ResolvedPath parent = resolve(path);
    if (!(rightsOn(parent, user) & ShareRights::Write) || !QFileInfo(parent.local).isDir())
        return false;
    const QStringList parts = folderName.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    // Every existing step must be a real folder, never a link out.
    QString target = parent.local;
    for (const QString &part : parts) {
        if (!isSafeComponent(part))
            return false;
        target += QLatin1Char('/') + part;
        const QFileInfo step(target);
        if (step.isSymLink() || (step.exists() && !step.isDir()))
            return false;
    }
    return QDir().mkpath(target) && isInside(QFileInfo(target).canonicalFilePath(), parent.canonicalBase);
}

bool WFtpEngine::renameFile(const QString &oldPath, const QString &newPath, const QString &user)
{
    const ResolvedPath from = resolve(oldPath);
    const ResolvedPath to = resolve(newPath);
    if (!(rightsOn(from, user) & ShareRights::Write) || !(rightsOn(to, user) & ShareRights::Write))
        return false;
    if (!from.exists || to.exists || from.isBase() || to.isBase())
        return false;
    // Atomic refusal of an existing target, also one that appears meanwhile.
    const QByteArray source = QFile::encodeName(from.local);
    const QByteArray target = QFile::encodeName(to.local);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the no-replace flag.
    return !entryExists(to.local) && ::rename(source.constData(), target.constData()) == 0;
}

bool WFtpEngine::deleteFiles(const QStringList &paths, const QString &user, QStringList *kept)
{
    if (paths.isEmpty())
        return false;
    QList<ResolvedPath> targets;
    for (const QString &path : paths) {
        const ResolvedPath resolved = resolve(path);
        if (!(rightsOn(resolved, user) & ShareRights::Delete) || !resolved.exists || resolved.isBase())
            return false;
        targets.append(resolved);
    }
    bool allDeleted = true;
    for (int i = 0; i < targets.size(); ++i) {
        const ResolvedPath &target = targets.at(i);
        const QFileInfo info(target.local);
        // A link is removed itself; a folder without following links.
        if (!info.isDir() || info.isSymLink()) {
            allDeleted = QFile::remove(target.local) && allDeleted;
            continue;
        }
        allDeleted = removeFolderKeepingHidden(target.local) && allDeleted;
        if (kept && QFileInfo(target.local).isDir())
            kept->append(paths.at(i));
    }
    return allDeleted;
}

bool WFtpEngine::checkFileExist(const QString &path, const QString &user)
{
    const ResolvedPath resolved = resolve(path);
    return rightsOn(resolved, user) != ShareRights::None && QFileInfo::exists(resolved.local);
}

// ---- opened files ------------------------------------------------------------

QString WFtpEngine::registerFile(const QSharedPointer<RemoteFile> &file, const std::function<bool()> &open,
                                 const QString &user)
{
    // Files a peer forgot count against the caps only until they idle out.
    closeIdleFiles();
    file->touch(m_clock());
    if (!m_openedFiles.add(file))
        return QString();
    if (!open()) {
        m_openedFiles.take(file->id(), file->opener());
        return QString();
    }
    emit signalFileOpened(file->id(), file->localPath(), user);
    return file->id();
}

QString WFtpEngine::openFile(const QString &path, const QString &user, OpenMode mode, qint64 expectedSize)
{
    const ResolvedPath resolved = resolve(path);
    const int rights = rightsOn(resolved, user);
    if (rights == ShareRights::None || resolved.isBase())
        return QString();
    const QFileInfo info(resolved.local);
    if (resolved.exists && !info.isFile())
        return QString();
    const bool mayWrite = rights & ShareRights::Write;
    QIODevice::OpenMode openMode = QIODevice::ReadOnly;
    switch (mode) {
    case OpenMode::ReadOnly:
        if (!resolved.exists)
            return QString();
        break;
    case OpenMode::Default:
        if (!resolved.exists && !mayWrite)
            return QString();
        // A file the user may not change, or the disc will not let us, still serves reads.
        if (mayWrite && (!resolved.exists || info.isWritable()))
            openMode = QIODevice::ReadWrite;
        break;
    case OpenMode::Replace:
        if (!mayWrite)
            return QString();
        break;
    }
    const auto file = QSharedPointer<RemoteFile>::create(QUuid::createUuid().toString(), FileOpener::peer(user), path,
                                                         resolved.local);
    if (mode == OpenMode::Replace) {
        const QString id = registerFile(file, [&] { return file->openReplacement(expectedSize); }, user);
        if (!id.isEmpty())
            removeAbandonedTemporaries(QFileInfo(resolved.local).path());
        return id;
    }
    return registerFile(file, [&] { return file->open(openMode); }, user);
}

QVector<SmallFileBatch::File> WFtpEngine::readSmallFiles(const QString &folderPath, const QStringList &names,
                                                         const QString &user)
{
    if (names.isEmpty() || names.size() > SmallFileBatch::MaxFiles)
        return {};
    int folderFd = -1;
    {
        // The rights and the folder they cover are judged together, once.
        const std::lock_guard<std::recursive_mutex> lock(treeLock());
        const ResolvedPath resolved = resolve(folderPath);
        if (rightsOn(resolved, user) == ShareRights::None || !resolved.exists)
            return {};
        folderFd = ::open(QFile::encodeName(resolved.local).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd < 0)
            return {};
        // What was opened, not what the path names now: a folder swapped for
        // a link since the check must still lie inside the share.
        char opened[PATH_MAX + 1];
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(folderFd);
        const ssize_t length = ::readlink(self.constData(), opened, PATH_MAX);
        if (length <= 0
            || !isInside(QFile::decodeName(QByteArray(opened, int(length))), resolved.canonicalBase)) {
            ::close(folderFd);
            return {};
        }
    }
    QStringList servable = names;
    // Names a peer may not ask for are left unread (an empty name opens nothing).
    for (QString &name : servable) {
        if (!isSafeComponent(name))
            name.clear();
    }
    // The monitor sees the batch as one file of the folder, open while read.
    const QString batchId = QUuid::createUuid().toString();
    emit signalFileOpened(batchId, folderPath, user);
    QVector<SmallFileBatch::File> files = SmallFileBatch::readFromFolder(folderFd, servable);
    ::close(folderFd);
    qint64 bytes = 0;
    for (int i = 0; i < files.size(); ++i) {
        files[i].name = names.at(i);
        bytes += files.at(i).data.size();
    }
    emit signalFileReadProgress(batchId, bytes);
    emit signalFileClosed(batchId);
    return files;
}

void WFtpEngine::removeAbandonedTemporaries(const QString &folder)
{
    QSet<QString> written;
    for (const auto &file : m_openedFiles.all())
        written.insert(QFileInfo(file->temporaryPath()).fileName());
    for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (PartialFile::isTemporaryName(name) && !written.contains(name))
            QFile::remove(folder + QLatin1Char('/') + name);
    }
}

QString WFtpEngine::openWebFile(const QString &webFileId)
{
    const auto record = servableWebFile(webFileId);
    if (!record)
        return QString();
    const auto file = QSharedPointer<RemoteFile>::create(QUuid::createUuid().toString(), FileOpener::web(),
                                                         webFileId, record->gv(kPath));
    return registerFile(file, [&] { return file->open(QIODevice::ReadOnly); }, QString());
}

QSharedPointer<RemoteFile> WFtpEngine::openedFile(const QString &fileID, const FileOpener &opener, int neededRights)
{
    const QSharedPointer<RemoteFile> file = m_openedFiles.find(fileID, opener);
    if (!file)
        return nullptr;
    // Rights count when a request is served: a grant revoked or expired since
    // the open ends access, as does a web file that is no longer published.
    const bool allowed = opener.isWeb ? !servableWebFile(file->path()).isNull()
                                      : (getUserPermission(file->path(), opener.user) & neededRights) != 0;
    if (!allowed)
        return nullptr;
    file->touch(m_clock());
    return file;
}

QByteArray WFtpEngine::readFile(const QString &fileID, const FileOpener &opener, qint64 from, qint64 count)
{
    const qint64 cap = opener.isWeb ? MaxWebReadBytes : MaxPeerReadBytes;
    if (from < 0 || count < 0 || count > cap)
        return QByteArray();
    const auto file = openedFile(fileID, opener, ShareRights::Full);
    if (!file)
        return QByteArray();
    const QByteArray data = file->read(from, count);
    emit signalFileReadProgress(fileID, data.size());
    return data;
}

bool WFtpEngine::writeFile(const QString &fileID, const FileOpener &opener, const QByteArray &data, qint64 from)
{
    const auto file = opener.isWeb ? nullptr : openedFile(fileID, opener, ShareRights::Write);
    if (!file || !file->write(data, from, MaxPeerChunkBytes))
        return false;
    emit signalFileWriteProgress(fileID, data.size());
    return true;
}

qint64 WFtpEngine::getFileSize(const QString &fileID, const FileOpener &opener)
{
    const auto file = openedFile(fileID, opener, ShareRights::Full);
    return file ? file->size() : -1;
}

bool WFtpEngine::isFileOpen(const QString &fileID, const FileOpener &opener)
{
    const auto file = openedFile(fileID, opener, ShareRights::Full);
    return file && file->isOpen();
}

bool WFtpEngine::closeFile(const QString &fileID, const FileOpener &opener)
{
    // Closing needs no right: a revoked user may still let go of its file.
    const auto file = m_openedFiles.take(fileID, opener);
    if (!file)
        return false;
    const bool finished = file->finish();
    emit signalFileClosed(fileID);
    return finished;
}

void WFtpEngine::giveUpFile(const QString &fileID, const FileOpener &opener)
{
    if (const auto file = m_openedFiles.take(fileID, opener)) {
        file->close();
        emit signalFileClosed(fileID);
    }
}

int WFtpEngine::closeIdleFiles()
{
    const QList<QSharedPointer<RemoteFile>> idle = m_openedFiles.takeIdle(m_clock() - MaxIdleMs);
    for (const auto &file : idle) {
        file->close();
        emit signalFileClosed(file->id());
    }
    return idle.size();
}

void WFtpEngine::closeAllFiles()
{
    for (const auto &file : m_openedFiles.takeAll()) {
        file->close();
        emit signalFileClosed(file->id());
    }
}

// ---- thumbnails --------------------------------------------------------------

void WFtpEngine::getFolderThumnailsStartThread(const QString &path, const QString &user, ThumbnailDelivery deliver)
{
    // The delay lets the listing reply leave first.
    m_thumbnails.schedule(user + QLatin1Char('\n') + path, ThumbnailDelayMs,
                          [this, path, user, deliver = std::move(deliver)] { getFolderThumbnails(path, user, deliver); });
}

void WFtpEngine::getFolderThumbnails(const QString &path, const QString &user, const ThumbnailDelivery &deliver)
{
    const ResolvedPath resolved = resolve(path);
    if (rightsOn(resolved, user) == ShareRights::None || !QFileInfo(resolved.local).isDir())
        return;
    const bool forOwner = ownsPath(user);
    // Page by page, so a huge folder costs no more memory than a listing page.
    FolderReader::Page page;
    do {
        page = FolderReader::readPage(resolved.local, page.last, qMax(1, m_pageLimits.rows));
        for (const FolderReader::Entry &entry : qAsConst(page.entries))
            deliverThumbnail(path, resolved, entry, forOwner, deliver);
    } while (page.more);
}

void WFtpEngine::deliverThumbnail(const QString &path, const ResolvedPath &resolved, const FolderReader::Entry &entry,
                                  bool forOwner, const ThumbnailDelivery &deliver)
{
    if (entry.isDir)
        return;
    const QImage canvas =
        ThumbnailMaker::canvas(ThumbnailMaker::getImageThumnail(resolved.local + QLatin1Char('/') + entry.fileName()));
    if (canvas.isNull())
        return;
    if (forOwner) {
        emit signalOwnThumbnail(path, entry.fileName(), canvas);
        return;
    }
    if (!deliver)
        return;
    WDataStructure row;
    fillRow(row, entry, resolved.discName, resolved.rest, false);
    row.SetValue(WFtpProtocol::KeyThumbnail, ThumbnailMaker::toJpeg(canvas));
    deliver(path, row.SerializeStructure());
}

// ---- web-shared files --------------------------------------------------------

QSharedPointer<WDataStructure> WFtpEngine::addWebSharedFile(const QString &path, const QString &password,
                                                            const QDateTime &validTo)
{
    if (ownerName().isEmpty() || !QFile::exists(path))
        return nullptr;
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    auto record = newNode(QUuid::createUuid().toString());
    record->sv(kPath, path);
    record->sv(kPassword, password);
    record->sv(kValidTo, validTo.toString(Qt::ISODate));
    webFilesNode(true)->AddStructure(record);
    return record;
}

QSharedPointer<WDataStructure> WFtpEngine::getWebSharedFiles()
{
    return webFilesNode(false);
}

QSharedPointer<WDataStructure> WFtpEngine::getWebSharedFile(const QString &id)
{
    const auto files = webFilesNode(false);
    return files && !id.isEmpty() ? files->GetStructureByValue(kSection, id) : nullptr;
}

bool WFtpEngine::deleteWebSharedFile(const QString &id)
{
    const auto files = webFilesNode(false);
    return files && files->DeleteStructure(id);
}

void WFtpEngine::clearOverdueWebFiles()
{
    const std::lock_guard<std::recursive_mutex> lock(treeLock());
    const auto files = webFilesNode(false);
    if (!files)
        return;
    const QDateTime when = now();
    bool removed = false;
    for (const auto &record : files->getChildren()) {
        if (ShareRights::isPast(record->gv(kValidTo), when)) {
            files->DeleteStructure(record);
            removed = true;
        }
    }
    if (removed)
        saveSharedDiscs();
}

QSharedPointer<WDataStructure> WFtpEngine::servableWebFile(const QString &id)
{
    const auto record = getWebSharedFile(id);
    if (!record || ShareRights::isPast(record->gv(kValidTo), now()))
        return nullptr;
    const QFileInfo file(record->gv(kPath));
    return file.isAbsolute() && file.isFile() ? record : nullptr;
}
