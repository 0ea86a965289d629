#include "VirtualFile.h"

#include "PartialFile.h"
#include "WFtpCommands.h"
#include "WFtpMain.h"
#include "WFtpProtocol.h"

#include <IWHost.h>

#include <QFileInfo>

using namespace WFtpProtocol;

namespace {
QByteArray decimal(qint64 value)
{
    return QByteArray::number(value);
}
} // namespace

VirtualFile::VirtualFile(WFtpMain &main, QObject *parent) : QObject(parent), m_main(main) {}

bool VirtualFile::open(const QString &virtualPath, Mode mode, qint64 expectedSize)
{
    return takeOpen(sendOpen(virtualPath, mode, expectedSize));
}

VirtualFile::Pending VirtualFile::sendOpen(const QString &virtualPath, Mode mode, qint64 expectedSize)
{
    Pending opening;
    IWHost *const host = m_main.host();
    if (!host)
        return opening;
    const KvrConfig parts = m_main.engine()->splitPath(virtualPath);
    m_owner = parts.gv(QStringLiteral("owner"));
    m_localFile.reset();
    m_expectedSize = mode == Mode::Write ? expectedSize : -1;
    if (m_owner.isEmpty())
        return opening;

    if (m_owner == m_main.userName()) {
        opening.local = true;
        const QString local = m_main.engine()->translateToLocal(virtualPath);
        if (local.isEmpty())
            return opening;
        QSharedPointer<QFile> file = mode == Mode::Write ? QSharedPointer<QFile>(new PartialFile(local))
                                                         : QSharedPointer<QFile>::create(local);
        QIODevice::OpenMode openMode = QIODevice::ReadWrite;
        // A download never creates its source, and a read-only file can still be read.
        if (mode == Mode::Read || (mode == Mode::ReadWrite && QFile::exists(local) && !QFileInfo(local).isWritable()))
            openMode = QIODevice::ReadOnly;
        if (openMode == QIODevice::ReadOnly && !QFile::exists(local))
            return opening;
        if (!file->open(openMode))
            return opening;
        m_localFile = file;
        opening.localDone = true;
        return opening;
    }

    if (connectionID.isEmpty())
        connectionID = host->openUserConnection(m_owner, parts.gv(QStringLiteral("discType")) != QLatin1String("vls"));
    if (connectionID.isEmpty())
        return opening;
    KvrConfig record = request(OpenFile);
    record.sv(KeyPath, virtualPath);
    // Peers that know no "mode" open read-write, as before.
    if (mode == Mode::Read)
        record.sv(KeyMode, QStringLiteral("r"));
    else if (mode == Mode::Write)
        record.sv(KeyMode, QStringLiteral("w"));
    if (mode == Mode::Write && expectedSize >= 0)
        record.SetValue(KeySize, decimal(expectedSize));
    return send(record);
}

bool VirtualFile::takeOpen(const Pending &opening)
{
    if (opening.local)
        return opening.localDone;
    const KvrConfig reply = take(opening);
    const QString fileId = reply.gv(KeyFileId);
    if (!reply.checkResult() || fileId.isEmpty())
        return false;
    m_fileId = fileId;
    return true;
}

bool VirtualFile::close()
{
    return takeClose(sendClose());
}

void VirtualFile::giveUp()
{
    if (isLocal()) {
        if (auto *replacement = qobject_cast<PartialFile *>(m_localFile.data()))
            replacement->discard();
        m_localFile->close();
        m_localFile.reset();
        return;
    }
    if (m_fileId.isEmpty())
        return;
    KvrConfig record = request(CloseFile);
    record.sv(KeyGiveUp, QStringLiteral("1"));
    take(send(record));
}

VirtualFile::Pending VirtualFile::sendClose()
{
    if (isLocal()) {
        Pending closed;
        closed.local = closed.localDone = true;
        if (auto *replacement = qobject_cast<PartialFile *>(m_localFile.data())) {
            if (m_expectedSize >= 0 && replacement->size() != m_expectedSize)
                closed.localDone = false;
            else
                closed.localDone = replacement->commit();
        }
        m_localFile->close();
        m_localFile.reset();
        return closed;
    }
    if (m_fileId.isEmpty())
        return Pending();
    return send(request(CloseFile));
}

bool VirtualFile::takeClose(const Pending &close)
{
    return close.local ? close.localDone : take(close).checkResult();
}

QByteArray VirtualFile::read(qint64 from, qint64 count)
{
    return takeRead(sendRead(from, count));
}

VirtualFile::Pending VirtualFile::sendRead(qint64 from, qint64 count)
{
    Pending read;
    read.from = from;
    read.count = count;
    read.local = isLocal();
    if (from < 0 || count <= 0 || read.local || m_fileId.isEmpty())
        return read;
    KvrConfig record = request(ReadFile);
    record.SetValue(KeyFrom, decimal(from));
    record.SetValue(KeyCount, decimal(count));
    const Pending sent = send(record);
    read.record = sent.record;
    return read;
}

QByteArray VirtualFile::takeRead(const Pending &read, bool *answered)
{
    if (answered)
        *answered = false;
    if (read.from < 0 || read.count <= 0)
        return QByteArray();
    if (read.local) {
        if (!isLocal())
            return QByteArray();
        if (!m_localFile->seek(read.from))
            return QByteArray();
        if (answered)
            *answered = true;
        return m_localFile->read(read.count);
    }
    if (read.record.isEmpty())
        return QByteArray();
    const KvrConfig reply = take(read);
    if (!reply.checkResult() || !reply.CheckKeyExist(KeyData))
        return QByteArray();
    QByteArray data = reply.GetValue(KeyData);
    // More than asked for is not this file's bytes.
    if (data.size() > read.count)
        return QByteArray();
    if (answered)
        *answered = true;
    return data;
}

void VirtualFile::abandon(const Pending &request)
{
    if (!request.record.isEmpty())
        WFtpCommands(m_main).abandonReply(request.record);
}

bool VirtualFile::write(const QByteArray &data, qint64 from)
{
    if (from >= 0)
        return takeWrite(sendWrite(data, from));
    if (isLocal())
        return m_localFile->write(data) == data.size();
    if (m_fileId.isEmpty())
        return false;
    KvrConfig record = request(WriteFile);
    record.SetValue(KeyData, data);
    record.sv(KeyBinary, QStringLiteral("true"));
    return ask(record).checkResult();
}

VirtualFile::Pending VirtualFile::sendWrite(const QByteArray &data, qint64 from)
{
    Pending write;
    write.from = from;
    write.count = data.size();
    write.local = isLocal();
    if (write.local) {
        // The own disc is written at once.
        write.localDone = from >= 0 && m_localFile->seek(from) && m_localFile->write(data) == data.size();
        return write;
    }
    if (from < 0 || m_fileId.isEmpty())
        return write;
    KvrConfig record = request(WriteFile);
    record.SetValue(KeyData, data);
    record.sv(KeyBinary, QStringLiteral("true"));
    record.SetValue(KeyFrom, decimal(from));
    write.record = send(record).record;
    return write;
}

bool VirtualFile::takeWrite(const Pending &write)
{
    if (write.local) {
        take(write);
        return write.localDone;
    }
    return take(write).checkResult();
}

qint64 VirtualFile::size()
{
    if (isLocal())
        return m_localFile->size();
    if (m_fileId.isEmpty())
        return -1;
    const KvrConfig reply = ask(request(SizeFile));
    if (!reply.checkResult() || !reply.CheckKeyExist(KeySize))
        return -1;
    bool ok = false;
    const qint64 size = reply.GetValue(KeySize).toLongLong(&ok);
    return ok && size >= 0 ? size : -1;
}

bool VirtualFile::isOpen()
{
    if (isLocal())
        return m_localFile->isOpen();
    if (m_fileId.isEmpty())
        return false;
    return ask(request(IsFileOpen)).checkResult();
}

KvrConfig VirtualFile::request(const QString &command) const
{
    KvrConfig record = WFtpCommands::newRecord(command);
    if (command != OpenFile)
        record.sv(KeyFileId, m_fileId);
    return record;
}

KvrConfig VirtualFile::ask(const KvrConfig &record)
{
    return take(send(record));
}

VirtualFile::Pending VirtualFile::send(const KvrConfig &record)
{
    Pending sent;
    if (WFtpCommands(m_main).send(record, m_owner, false, connectionID))
        sent.record = record;
    return sent;
}

KvrConfig VirtualFile::take(const Pending &request)
{
    if (request.local) {
        m_ownerAnswered = true;
        return KvrConfig();
    }
    const KvrConfig reply =
        request.record.isEmpty() ? KvrConfig() : WFtpCommands(m_main).awaitReply(request.record, m_owner);
    m_ownerAnswered = !reply.isEmpty();
    return reply;
}
