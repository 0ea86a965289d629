#pragma once

#include <QString>

// What the server publishes for download: client builds and plug-ins, read
// from "catalogue.ini" in the data folder at each query, so publishing needs
// no restart. Files are served by the web site from "downloads/" in the same
// folder; the catalogue names them by plain file name:
//
//   [client]                  [plugins]
//   size=1                    size=1
//   1\platform=linux          1\name=WFtp
//   1\build=1022              1\platform=linux
//   1\file=wivora-1022.tar.gz 1\version=3
//                             1\description=File sharing
//                             1\file=libwftp.so
//
// No file (or no entry) means nothing is published: the answers are empty.
class PluginCatalogue
{
public:
    // downloadBase: the web site's address, e.g. "http://127.0.0.1:8080".
    PluginCatalogue(const QString &dataDir, const QString &downloadBase);

    static QString fileName() { return QStringLiteral("catalogue.ini"); }

    // The text form of a tree whose children are the plug-ins of platform,
    // each with "Name", "Description" and "Path" (the download address).
    QString pluginsTree(const QString &platform) const;
    // The download address of the newest client build above build; "" when none.
    QString clientUpdate(const QString &platform, int build) const;
    // The download address of a version of the plug-in above version; "" when none.
    QString pluginUpdate(const QString &name, const QString &platform, int version) const;

private:
    QString downloadUrl(const QString &file) const;

    QString m_path;
    QString m_downloadBase;
};
