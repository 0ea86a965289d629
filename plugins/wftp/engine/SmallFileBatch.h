#pragma once

#include <KvrConfig.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Several small files of one folder in one round trip ("wftp:::readFiles"):
// the asker names the folder and the files, the owner answers with each
// file's whole contents, size and modification time, or with "not served"
// for the ones the asker must take one by one (too large, not a plain file,
// a link, gone, over the reply's budget). The file order of the reply is the
// request's.
//
// Request: "path" the folder's virtual path, "files" the names, each as its
// UTF-8 byte length in decimal, ':' and the bytes. Reply: "files" one line
// per name, "<size> <modified ms> <bytes in data>" (-1 -1 -1 when not
// served), and "data" the served contents one after another.
namespace SmallFileBatch {

constexpr int MaxFiles = 256;
constexpr qint64 MaxFileBytes = 64 * 1024;
constexpr qint64 MaxReplyBytes = 4 * 1024 * 1024;

struct File
{
    QString name;
    bool served = false;
    qint64 size = -1;
    qint64 modifiedMs = -1;
    QByteArray data;
};

QByteArray encodeNames(const QStringList &names);
// False on damaged text, more than MaxFiles names or an empty name.
bool decodeNames(const QByteArray &encoded, QStringList *names);

void writeReply(const QVector<File> &files, KvrConfig &reply);
// The reply to a request for names: false unless it answers every one, in
// order, within the caps, each served file's bytes matching its size.
bool readReply(const KvrConfig &reply, const QStringList &names, QVector<File> *files);

// Reads names from the folder open as folderFd without following a link at
// any name: each a plain file of at most MaxFileBytes, as long as the total
// stays within MaxReplyBytes.
QVector<File> readFromFolder(int folderFd, const QStringList &names);

} // namespace SmallFileBatch
