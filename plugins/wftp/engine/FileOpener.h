#pragma once

#include <QString>

// Who opened a file: a peer (by the user name its link authenticated) or the
// web server. An opened file answers only to its opener.
struct FileOpener
{
    static FileOpener peer(const QString &user) { return {false, user}; }
    static FileOpener web() { return {true, QString()}; }

    bool operator==(const FileOpener &other) const { return isWeb == other.isWeb && user == other.user; }
    bool operator!=(const FileOpener &other) const { return !(*this == other); }

    bool isWeb = false;
    QString user;
};
