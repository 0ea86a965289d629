#pragma once

#include <KvrConfig.h>

#include <QFile>
#include <QObject>
#include <QSharedPointer>
#include <QString>

class WFtpMain;

// One file of a shared disc by its virtual path: the local file behind it on
// the user's own disc, otherwise the file opened on the owner's machine and
// worked on with one request per operation over one link.
class VirtualFile : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        ReadWrite, // opens or creates without emptying
        Read,      // an existing file only
        Write,     // created or emptied
    };

    explicit VirtualFile(WFtpMain &main, QObject *parent = nullptr);

    // The link every request goes on; set by the caller (after a reconnect)
    // or by open when empty.
    QString connectionID;

    bool open(const QString &virtualPath, Mode mode = Mode::ReadWrite);
    bool close();
    // Up to count bytes from the offset; empty on failure or at the end.
    QByteArray read(qint64 from, qint64 count);
    // At the offset, or where the last write ended when from < 0.
    bool write(const QByteArray &data, qint64 from = -1);
    // -1 when not obtained.
    qint64 size();
    bool isOpen();

private:
    KvrConfig request(const QString &command) const;
    KvrConfig ask(const KvrConfig &record);
    bool isLocal() const { return !m_localFile.isNull(); }

    WFtpMain &m_main;
    QSharedPointer<QFile> m_localFile;
    QString m_fileId;
    QString m_owner;
};
