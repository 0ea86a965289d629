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
        Write,     // a new file that replaces the old once closed whole
    };

    explicit VirtualFile(WFtpMain &main, QObject *parent = nullptr);

    // The link every request goes on; set by the caller (after a reconnect)
    // or by open when empty.
    QString connectionID;

    // A Write open names the size the new file will have: closed at any
    // other size (a stopped or failed upload), it is given up and the old
    // file stays.
    bool open(const QString &virtualPath, Mode mode = Mode::ReadWrite, qint64 expectedSize = -1);
    // False also when a Write open's file was not put in place.
    bool close();
    // Closes a Write open's file without putting it in place, whatever it
    // holds: an upload stopped after its last bytes left must not replace
    // the owner's file. Owners that do not know it close as close() does.
    void giveUp();
    // Up to count bytes from the offset; empty on failure or at the end.
    QByteArray read(qint64 from, qint64 count);
    // At the offset, or where the last write ended when from < 0.
    bool write(const QByteArray &data, qint64 from = -1);
    // -1 when not obtained.
    qint64 size();
    bool isOpen();
    // Whether the owner answered the last request taken, if only to refuse
    // it: no answer means a lost link or an owner that does not run.
    bool ownerAnswered() const { return m_ownerAnswered; }

    // A request sent ahead of its answer, so that several are on their way
    // at once (reads and writes carry their offset, so their order does not
    // matter).
    struct Pending
    {
        KvrConfig record; // as sent; empty when nothing went out
        bool local = false; // on the own disc: nothing is sent
        bool localDone = false; // an own disc's open or close, carried out at once
        qint64 from = 0;
        qint64 count = 0;
    };
    Pending sendOpen(const QString &virtualPath, Mode mode = Mode::ReadWrite, qint64 expectedSize = -1);
    bool takeOpen(const Pending &opening);
    Pending sendRead(qint64 from, qint64 count);
    // The answer to a read sent ahead: answered is false when none came or
    // it was refused; data shorter than asked for ends at the file's end, or
    // the owner no longer holds the file open (then it is empty).
    QByteArray takeRead(const Pending &read, bool *answered = nullptr);
    // A write at its offset sent ahead of its answer; true once the owner
    // took all of it.
    Pending sendWrite(const QByteArray &data, qint64 from);
    bool takeWrite(const Pending &write);
    Pending sendClose();
    bool takeClose(const Pending &close);
    // Nobody will take its answer.
    void abandon(const Pending &request);

private:
    KvrConfig request(const QString &command) const;
    KvrConfig ask(const KvrConfig &record);
    Pending send(const KvrConfig &record);
    KvrConfig take(const Pending &request);
    bool isLocal() const { return !m_localFile.isNull(); }

    WFtpMain &m_main;
    QSharedPointer<QFile> m_localFile;
    qint64 m_expectedSize = -1;
    QString m_fileId;
    QString m_owner;
    bool m_ownerAnswered = true;
};
