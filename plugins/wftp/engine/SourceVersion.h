#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// Which version of a remote file a kept partial download holds the start of:
// its virtual path and the size and modification time its owner's listing
// gave. A file changed in place at the same size within the same second
// looks the same; nothing on the wire tells them apart.
struct SourceVersion
{
    QString path;
    qint64 size = -1;
    QByteArray modified;

    bool isKnown() const { return !path.isEmpty() && size >= 0 && !modified.isEmpty(); }

    // The record kept beside the partial; compared byte for byte, so any
    // damage reads as another version. Percent-encoded: one field a line.
    QByteArray record() const
    {
        return QByteArrayLiteral("wivora partial 1\n") + QUrl::toPercentEncoding(path) + '\n'
            + QByteArray::number(size) + '\n' + QUrl::toPercentEncoding(QString::fromUtf8(modified)) + '\n';
    }
};
