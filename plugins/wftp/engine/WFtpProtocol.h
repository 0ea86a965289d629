#pragma once

#include <QString>

// Names and keys of the file-sharing records exchanged with peers and with
// the web server. Peer replies are named after their request + ReplySuffix;
// web replies keep the request's name.
namespace WFtpProtocol {

inline const QString RequestPrefix = QStringLiteral("wftp:::");
inline const QString WebRequestPrefix = QStringLiteral("WebLocal::wftp:::");
inline const QString WebLocalPrefix = QStringLiteral("WebLocal::");
inline const QString ReplySuffix = QStringLiteral(":callback");

// Peer requests.
inline const QString GetSharedFolders = QStringLiteral("wftp:::getSharedFolders");
inline const QString ListDirectory = QStringLiteral("wftp:::listDirectory");
inline const QString CreateDirectory = QStringLiteral("wftp:::createDirectory");
inline const QString RenameFile = QStringLiteral("wftp:::renameFile");
inline const QString DeleteFiles = QStringLiteral("wftp:::deleteFiles");
inline const QString CheckFileExist = QStringLiteral("wftp:::checkFileExist");
inline const QString OpenFile = QStringLiteral("wftp:::openFile");
inline const QString ReadFile = QStringLiteral("wftp:::readFile");
// Several small files of one folder at once; peers that do not know it
// refuse it, and the asker then opens and reads them one by one.
inline const QString ReadFiles = QStringLiteral("wftp:::readFiles");
inline const QString CloseFile = QStringLiteral("wftp:::closeFile");
inline const QString WriteFile = QStringLiteral("wftp:::writeFile");
inline const QString SizeFile = QStringLiteral("wftp:::sizeFile");
inline const QString IsFileOpen = QStringLiteral("wftp:::isFileOpen");

// Pushes.
inline const QString ThumbnailPush = QStringLiteral("wftp:::sendFileThumbnail:callback");

// Web requests.
inline const QString WebCheckAccessible = QStringLiteral("WebLocal::wftp:::checkFileIsAccessible");
inline const QString WebCheckPassword = QStringLiteral("WebLocal::wftp:::checkFilePassword");
inline const QString WebOpenFile = QStringLiteral("WebLocal::wftp:::openFile");
inline const QString WebReadFile = QStringLiteral("WebLocal::wftp:::readFile");
inline const QString WebCloseFile = QStringLiteral("WebLocal::wftp:::closeFile");

// Keys.
inline const QString KeyId = QStringLiteral("ID");
inline const QString KeyCommand = QStringLiteral("command");
inline const QString KeySender = QStringLiteral("Wivora::sender");
inline const QString KeyConnection = QStringLiteral("Wivora::connection");
inline const QString KeyConnectionId = QStringLiteral("Wivora::connectionID");
inline const QString RoutingKeyPrefix = QStringLiteral("Wivora::");
inline const QString KeyBinary = QStringLiteral("binary");
inline const QString KeyUser = QStringLiteral("user");
inline const QString KeyPath = QStringLiteral("path");
inline const QString KeyDiscs = QStringLiteral("discs");
inline const QString KeyList = QStringLiteral("list");
inline const QString KeyGetThumbnails = QStringLiteral("getThumbnails");
// Listings come in pages: a request's "after" names the row the page starts
// after ("" for the first), a reply's "next" the one the following page
// starts after (none on the last). A refusal with "busy" is asked again.
inline const QString KeyAfter = QStringLiteral("after");
inline const QString KeyNext = QStringLiteral("next");
inline const QString KeyBusy = QStringLiteral("busy");
inline const QString KeyFolderName = QStringLiteral("folderName");
inline const QString KeyOldName = QStringLiteral("oldName");
inline const QString KeyNewName = QStringLiteral("newName");
inline const QString KeyFiles = QStringLiteral("files");
inline const QString KeyKept = QStringLiteral("kept");
inline const QString KeyFileId = QStringLiteral("fileID");
// On a close: the writer gives the file up, whole or not (a stopped upload).
inline const QString KeyGiveUp = QStringLiteral("giveUp");
inline const QString KeyFrom = QStringLiteral("from");
inline const QString KeyCount = QStringLiteral("count");
inline const QString KeyData = QStringLiteral("data");
inline const QString KeySize = QStringLiteral("size");
inline const QString KeyMode = QStringLiteral("mode");
inline const QString KeyThumbnail = QStringLiteral("thumbnail");
inline const QString KeyWebFileId = QStringLiteral("fileid");
inline const QString KeyPassword = QStringLiteral("password");
inline const QString KeyPasswordRequired = QStringLiteral("passwordRequired");
inline const QString KeyFileName = QStringLiteral("filename");
inline const QString KeyOpenId = QStringLiteral("openid");
inline const QString KeyFileSize = QStringLiteral("filesize");

// The list form: every item followed by the separator.
inline const QChar ListSeparator = QLatin1Char('|');

} // namespace WFtpProtocol
