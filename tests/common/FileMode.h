#pragma once

#include <QFile>
#include <QString>

#include <sys/stat.h>

// The permission bits of the path itself (a link is not followed); -1 when it
// does not exist.
inline int modeOf(const QString &path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}
