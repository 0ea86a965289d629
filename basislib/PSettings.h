#pragma once

#include "basislib_global.h"

#include <QString>
#include <QVariant>

// Machine-wide settings of the client (the same for every account) and the
// storage root under which accounts, plug-ins and caches live.
//
// The settings are one INI file, "wivora/wivoraclient.ini" in the user's
// configuration root, readable by its owner only (it may hold the remembered
// password). Every write is flushed at once and every read first picks up
// changes written by another process, so several programs on one machine see
// the same values. All operations are safe from any thread.
//
// The configuration and data roots follow the XDG variables of the process,
// so each client of a machine may have its own.
class BASISLIB_EXPORT PSettings
{
public:
    PSettings() = delete;

    // An absent key gives an invalid QVariant (whose toString() is empty).
    static QVariant GetValue(const QString &key);
    static void SetValue(const QString &key, const QVariant &value);
    static void RemoveValue(const QString &key);

    // The absolute path of `relative` under the storage root; the relative
    // path may start with "/" or not ("/update" and "update" are the same).
    // Creates no folder.
    static QString GetStoragePath(const QString &relative = QString());

    // The folder that holds the settings file.
    static QString GetSettingsFolder();

    // The folder a file or folder dialog last opened, where the next starts.
    static inline const QString LastFolderKey = QStringLiteral("lastopendirectory");
};
