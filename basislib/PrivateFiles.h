#pragma once

#include "basislib_global.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <functional>

// Folders and files that hold a user's data (accounts, buffered records,
// crash reports, settings), readable by their owner only: folders 0700,
// files 0600, from the moment they are made. Other local users of the
// machine must not read password-sealed accounts or records of peers.
class BASISLIB_EXPORT PrivateFiles
{
public:
    PrivateFiles() = delete;

    // Makes the folder and every missing folder above it, each owner-only
    // from its creation; an existing folder is made owner-only. False when
    // it is not a folder afterwards.
    static bool makeFolder(const QString &path);

    // Replaces the file's content atomically; the file is owner-only before
    // it holds a byte. Its folder must exist. A symbolic link in the file's
    // place is replaced, never written through.
    static bool write(const QString &path, const QByteArray &bytes);
    // The same with content written by writeContent, in as many pieces as
    // it likes; false from it leaves the old file as it was.
    static bool write(const QString &path, const std::function<bool(QIODevice &file)> &writeContent);

    // Takes group and other permissions away from an existing file or
    // folder; false when that failed.
    static bool restrict(const QString &path);

    // Makes the folder owner-only and, when recursive, every folder and file
    // below it (left behind loose by older versions). Symbolic links are
    // neither followed nor changed: what they point at is not ours to change.
    static void repair(const QString &folder, bool recursive);
};
