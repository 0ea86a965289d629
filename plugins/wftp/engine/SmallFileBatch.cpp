#include "SmallFileBatch.h"

#include "WFtpProtocol.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace WFtpProtocol;

namespace SmallFileBatch {

namespace {

// No file name is longer.
constexpr int MaxNameBytes = 255;

bool parseDecimal(const QByteArray &text, qint64 *value)
{
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok && !text.isEmpty() && (text.at(0) != '+');
}

// The bytes of a plain file at most MaxFileBytes long, read through fd;
// false when it is anything else or grew meanwhile.
bool readWhole(int fd, qint64 budget, File &file)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > MaxFileBytes
        || status.st_size > budget)
        return false;
    // One byte past its size tells a file that grew since the stat: it is
    // left to its own requests, which follow a growing file.
    QByteArray data(int(status.st_size) + 1, Qt::Uninitialized);
    qint64 got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, size_t(data.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += n;
    }
    if (got >= data.size())
        return false;
    data.truncate(int(got));
    file.served = true;
    file.size = got;
    file.modifiedMs = qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000;
    file.data = std::move(data);
    return true;
}

} // namespace

QByteArray encodeNames(const QStringList &names)
{
    QByteArray encoded;
    for (const QString &name : names) {
        const QByteArray bytes = name.toUtf8();
        encoded += QByteArray::number(bytes.size()) + ':' + bytes;
    }
    return encoded;
}

bool decodeNames(const QByteArray &encoded, QStringList *names)
{
    names->clear();
    int at = 0;
    while (at < encoded.size()) {
        const int colon = encoded.indexOf(':', at);
        // A length of at most three digits: no name is longer than 255 bytes.
        if (colon <= at || colon - at > 3)
            return false;
        qint64 length = 0;
        if (!parseDecimal(encoded.mid(at, colon - at), &length) || length <= 0 || length > MaxNameBytes
            || length > encoded.size() - colon - 1 || names->size() >= MaxFiles)
            return false;
        names->append(QString::fromUtf8(encoded.mid(colon + 1, int(length))));
        at = colon + 1 + int(length);
    }
    return !names->isEmpty();
}

void writeReply(const QVector<File> &files, KvrConfig &reply)
{
    QByteArray lines;
    QByteArray data;
    for (const File &file : files) {
        if (!file.served) {
            lines += "-1 -1 -1\n";
            continue;
        }
        lines += QByteArray::number(file.size) + ' ' + QByteArray::number(file.modifiedMs) + ' '
            + QByteArray::number(file.data.size()) + '\n';
        data += file.data;
    }
    reply.SetValue(KeyFiles, lines);
    reply.SetValue(KeyBinary, QByteArrayLiteral("true"));
    reply.SetValue(KeyData, data);
}

bool readReply(const KvrConfig &reply, const QStringList &names, QVector<File> *files)
{
    files->clear();
    if (!reply.checkResult() || !reply.CheckKeyExist(KeyFiles) || !reply.CheckKeyExist(KeyData))
        return false;
    const QByteArray data = reply.GetValue(KeyData);
    QList<QByteArray> lines = reply.GetValue(KeyFiles).split('\n');
    // Every line ends with a newline: the split leaves one empty piece last.
    if (lines.size() != names.size() + 1 || !lines.last().isEmpty() || data.size() > MaxReplyBytes)
        return false;
    lines.removeLast();
    qint64 at = 0;
    for (int i = 0; i < names.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        qint64 size = 0, modified = 0, length = 0;
        if (fields.size() != 3 || !parseDecimal(fields.at(0), &size) || !parseDecimal(fields.at(1), &modified)
            || !parseDecimal(fields.at(2), &length))
            return false;
        File file;
        file.name = names.at(i);
        if (length >= 0) {
            if (length != size || length > MaxFileBytes || length > data.size() - at)
                return false;
            file.served = true;
            file.size = size;
            file.modifiedMs = modified;
            file.data = data.mid(int(at), int(length));
            at += length;
        } else if (size != -1 || modified != -1 || length != -1) {
            return false;
        }
        files->append(std::move(file));
    }
    return at == data.size();
}

QVector<File> readFromFolder(int folderFd, const QStringList &names)
{
    QVector<File> files;
    files.reserve(names.size());
    qint64 budget = MaxReplyBytes;
    for (const QString &name : names) {
        File file;
        file.name = name;
        // O_NONBLOCK: a fifo planted under the name must not hold the reply.
        const int fd = name.isEmpty() ? -1 : ::openat(folderFd, QFile::encodeName(name).constData(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            if (readWhole(fd, budget, file))
                budget -= file.size;
            ::close(fd);
        }
        files.append(std::move(file));
    }
    return files;
}

} // namespace SmallFileBatch
