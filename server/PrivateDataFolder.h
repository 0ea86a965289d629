#pragma once

#include <QString>

// The server's data folder holds password hashes, relayed records and the demo
// users' passwords: only the user who runs the server may read it. Folders
// are made 0700 and files 0600, on creation and again at every start, which
// mends folders made before. Symbolic links are neither followed nor changed.
class PrivateDataFolder
{
public:
    PrivateDataFolder() = delete;

    // Creates path when missing and makes it and what it holds private.
    // False with the reason in *error.
    static bool prepare(const QString &path, QString *error);
    // Makes an existing folder and what it holds private.
    static bool tighten(const QString &path, QString *error);
};
