#pragma once

#include <QString>

// A virtual path checked against the owner's shares: the local path it names
// lies inside the shared folder's directory, also after symbolic links.
struct ResolvedPath
{
    bool ok = false;
    QString discName;
    QString folder;       // "root" or the shared folder's section
    QString rest;         // below the shared folder, "" or starting with "/"
    QString canonicalBase; // the shared folder's directory, links resolved
    QString local;        // the local path (cleaned, not link-resolved)
    bool exists = false;  // something (maybe a link) is at local
    bool isBase() const { return rest.isEmpty(); }
};
