#include "PrivateFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>

namespace {

constexpr mode_t OwnerOnlyFolder = 0700;
constexpr mode_t OwnerBits = 0700;

bool isOwnerOnly(const QFileInfo &info)
{
    return !(info.permissions()
             & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
                | QFile::ExeOther));
}

bool changeMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

} // namespace

bool PrivateFiles::makeFolder(const QString &path)
{
    const QString target = QDir::cleanPath(QDir(path).absolutePath());
    // Created one by one with their final mode: mkpath would leave each
    // readable by all (the umask's default) until changed.
    QStringList missing;
    for (QString folder = target; !QFileInfo::exists(folder); folder = QFileInfo(folder).path()) {
        missing.prepend(folder);
        if (folder == QFileInfo(folder).path())
            break; // the root itself is missing: nothing can be made
    }
    for (const QString &folder : missing) {
        if (::mkdir(QFile::encodeName(folder).constData(), OwnerOnlyFolder) != 0 && errno != EEXIST)
            return false;
    }
    return QFileInfo(target).isDir() && changeMode(target, OwnerOnlyFolder);
}

bool PrivateFiles::write(const QString &path, const QByteArray &bytes)
{
    return write(path, [&bytes](QIODevice &file) { return file.write(bytes) == bytes.size(); });
}

bool PrivateFiles::write(const QString &path, const std::function<bool(QIODevice &file)> &writeContent)
{
    // The saved file would be renamed over the link's target: the link goes
    // and the file takes its place. (The folders are the owner's alone, so
    // no one else can put a link back in between.)
    if (QFileInfo(path).isSymLink() && !QFile::remove(path))
        return false;
    QSaveFile file(path);
    // The temporary file is the one renamed over the old: owner-only before
    // anything is written to it.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
        return false;
    if (!writeContent(file)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool PrivateFiles::restrict(const QString &path)
{
    struct stat info;
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &info) != 0)
        return false;
    return (info.st_mode & 077) == 0 || ::chmod(name.constData(), info.st_mode & OwnerBits) == 0;
}

void PrivateFiles::repair(const QString &folder, bool recursive)
{
    const QFileInfo root(folder);
    if (!root.isDir() || root.isSymLink())
        return;
    changeMode(folder, OwnerOnlyFolder);
    if (!recursive)
        return;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink() || isOwnerOnly(info))
            continue;
        if (info.isDir())
            changeMode(info.filePath(), OwnerOnlyFolder);
        else
            restrict(info.filePath());
    }
}
