#include "FolderReader.h"

#include "PartialFile.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {

bool isUtf8Name(const char *name)
{
    const char *byte = name;
    while (*byte > 0)
        ++byte;
    if (*byte == '\0')
        return true; // plain ASCII, the usual case
    return !QString::fromUtf8(name).contains(QChar::ReplacementCharacter);
}

bool isListedType(unsigned char type)
{
    return type == DT_DIR || type == DT_REG || type == DT_UNKNOWN;
}

bool isListedMode(mode_t mode)
{
    return S_ISDIR(mode) || S_ISREG(mode);
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

FolderReader::Page FolderReader::readPage(const QString &folder, const QByteArray &after, int maxEntries)
{
    Page page;
    if (maxEntries <= 0)
        return page;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return page;
    ::tzset(); // once: localtime_r does not look the zone up again
    const int fd = ::dirfd(dir);
    // The smallest names after `after`, one more than the page holds so the
    // page knows whether more follow. Candidates gather up to twice that,
    // then the smallest half is kept: linear time, and never more than two
    // pages of names held whatever the folder's size.
    std::vector<QByteArray> smallest;
    const size_t keep = size_t(maxEntries) + 1;
    const auto keepSmallest = [&] {
        std::nth_element(smallest.begin(), smallest.begin() + std::ptrdiff_t(keep - 1), smallest.end());
        smallest.resize(keep);
    };
    QByteArray bound; // once set, no name from here on makes the page unless below it
    struct stat info {};
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        if (!isListedType(entry->d_type))
            continue;
        const QByteArray key = QByteArray::fromRawData(name, int(::strlen(name)));
        if ((!after.isEmpty() && !(after < key)) || (!bound.isEmpty() && !(key < bound)))
            continue;
        if (!isUtf8Name(name))
            continue;
        // A file still being written is nobody's to see yet.
        if (name[0] == '.' && PartialFile::isTemporaryName(QString::fromUtf8(name)))
            continue;
        if (entry->d_type == DT_UNKNOWN
            && (::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !isListedMode(info.st_mode)))
            continue;
        smallest.emplace_back(key.constData(), key.size());
        if (smallest.size() >= 2 * keep) {
            keepSmallest();
            bound = smallest.back();
        }
    }
    if (smallest.size() > keep)
        keepSmallest();
    std::sort(smallest.begin(), smallest.end());
    if (smallest.size() == keep) {
        page.more = true;
        smallest.pop_back();
    }
    if (!smallest.empty())
        page.last = smallest.back();
    page.entries.reserve(int(smallest.size()));
    for (QByteArray &name : smallest) {
        // Stated now: an entry that went or changed type meanwhile is left out.
        if (::fstatat(fd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !isListedMode(info.st_mode))
            continue;
        page.entries.append({std::move(name), S_ISDIR(info.st_mode), qint64(info.st_size), qint64(info.st_mtim.tv_sec)});
    }
    ::closedir(dir);
    return page;
}
