#pragma once

#include <QFile>
#include <QString>

// Where the build put the echo plug-in (defined for every core test).
inline QString echoLibraryPath()
{
    return QStringLiteral(WIVORA_ECHO_PLUGIN);
}

// Copies the echo plug-in to `path`. Each copy is a plug-in of its own, with
// its own instance, when loaded from there.
inline bool copyEchoPlugin(const QString &path)
{
    return QFile::copy(echoLibraryPath(), path);
}
