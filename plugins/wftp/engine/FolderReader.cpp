#include "FolderReader.h"

#include "PartialFile.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool isUtf8(const char *name)
{
    const char *byte = name;
    while (*byte > 0)
        ++byte;
    if (*byte == '\0')
        return true; // plain ASCII, the usual case
    return !QString::fromUtf8(name).contains(QChar::ReplacementCharacter);
}

} // namespace

QByteArray FolderReader::Entry::modified() const
{
    const time_t seconds = time_t(modifiedSeconds);
    struct tm parts {};
    if (!::localtime_r(&seconds, &parts))
        return QByteArray();
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900,
                                     parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return QByteArray(text, length);
}

QVector<FolderReader::Entry> FolderReader::read(const QString &folder)
{
    QVector<Entry> entries;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return entries;
    ::tzset(); // once: localtime_r does not look the zone up again
    struct stat info {};
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        if (::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if ((!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) || !isUtf8(name))
            continue;
        // A file still being written is nobody's to see yet.
        if (name[0] == '.' && PartialFile::isTemporaryName(QString::fromUtf8(name)))
            continue;
        entries.append({QByteArray(name), S_ISDIR(info.st_mode), qint64(info.st_size), qint64(info.st_mtim.tv_sec)});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
    return entries;
}
