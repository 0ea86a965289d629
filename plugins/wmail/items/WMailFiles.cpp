#include "WMailFiles.h"

#include "WMailStreams.h"

#include <WUtilities.h>

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// Longest file name most Linux file systems hold, in bytes.
constexpr int MaxNameBytes = 255;
// Tries at a free " (n)" name before giving up.
constexpr int MaxNameTries = 1000;

QDataStream &prepared(QDataStream &stream)
{
    stream.setVersion(WMailStreams::Version);
    return stream;
}

// Reads one entry; with contents false, only its name and size.
bool readOne(QDataStream &in, bool withContents, WMailFiles::Entry *entry)
{
    in >> entry->name >> entry->size;
    if (withContents)
        in >> entry->contents;
    return in.status() == QDataStream::Ok;
}

// Names other systems treat as devices: harmless here, dangerous where the
// folder is shared with one of them.
bool isDeviceName(const QString &name)
{
    static const QRegularExpression device(QStringLiteral("^(con|prn|aux|nul|com[0-9]|lpt[0-9])(\\..*)?$"),
                                           QRegularExpression::CaseInsensitiveOption);
    return device.match(name).hasMatch();
}

QString truncatedToBytes(QString name, int maxBytes)
{
    while (name.toUtf8().size() > maxBytes)
        name.chop(name.size() > 1 && name.at(name.size() - 1).isLowSurrogate() ? 2 : 1);
    return name;
}

QString numbered(const QString &name, int n)
{
    const QFileInfo info(name);
    const QString suffix = info.completeSuffix();
    const QString base = suffix.isEmpty() ? name : name.left(name.size() - suffix.size() - 1);
    const QString tail = QStringLiteral(" (%1)").arg(n) + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
    return truncatedToBytes(base, MaxNameBytes - tail.toUtf8().size()) + tail;
}

} // namespace

QString WMailFiles::formatSize(qint64 bytes)
{
    return WUtilities::sizeText(bytes);
}

QByteArray WMailFiles::encode(const QStringList &paths, QString *error, const std::function<bool(int)> &proceed)
{
    QList<QFileInfo> files;
    qint64 total = 0;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (!info.isFile())
            continue;
        total += info.size();
        if (total > MaxTotalSize) {
            *error = QObject::tr("The files are too big to send: at most %1 go in one message.")
                         .arg(formatSize(MaxTotalSize));
            return QByteArray();
        }
        files << info;
    }
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    prepared(out) << qint32(files.size());
    for (int i = 0; i < files.size(); ++i) {
        if (proceed && !proceed(i))
            return QByteArray();
        const QFileInfo &info = files.at(i);
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QObject::tr("Cannot read %1: %2").arg(info.filePath(), file.errorString());
            return QByteArray();
        }
        const QByteArray contents = file.read(MaxTotalSize + 1);
        // A file that grew past the limit since it was measured.
        if (contents.size() > MaxTotalSize || data.size() + contents.size() > MaxTotalSize) {
            *error = QObject::tr("The files are too big to send: at most %1 go in one message.")
                         .arg(formatSize(MaxTotalSize));
            return QByteArray();
        }
        out << info.fileName() << qint64(contents.size()) << contents;
    }
    return data;
}

QByteArray WMailFiles::preview(const QByteArray &data)
{
    QDataStream in(data);
    prepared(in);
    QList<Entry> entries;
    // Senders may have counted files they did not write: the whole entries
    // are kept, a short tail is not.
    WMailStreams::readEach(in, [&](QDataStream &stream) {
        Entry entry;
        if (readOne(stream, true, &entry))
            entries << Entry{entry.name, entry.size, QByteArray()};
    });
    if (entries.isEmpty())
        return QByteArray();
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    prepared(out) << qint32(entries.size());
    for (const Entry &entry : entries)
        out << entry.name << entry.size;
    return bytes;
}

QList<WMailFiles::Entry> WMailFiles::readPreview(const QByteArray &preview)
{
    QDataStream in(preview);
    prepared(in);
    QList<Entry> entries;
    WMailStreams::readEach(in, [&](QDataStream &stream) {
        Entry entry;
        if (readOne(stream, false, &entry))
            entries << entry;
    });
    return entries;
}

bool WMailFiles::readEntry(const QByteArray &data, int index, Entry *entry)
{
    QDataStream in(data);
    prepared(in);
    int at = 0;
    bool found = false;
    WMailStreams::readEach(in, [&](QDataStream &stream) {
        if (found)
            return;
        Entry one;
        if (at == index) {
            found = readOne(stream, true, &one);
            if (found)
                *entry = one;
        } else {
            // Skipped entries are not copied.
            stream >> one.name >> one.size;
            WMailStreams::readBlockInPlace(stream, data);
        }
        ++at;
    });
    return found;
}

QString WMailFiles::safeName(const QString &peerName)
{
    QString name = QString(peerName).replace(QLatin1Char('\\'), QLatin1Char('/')).section(QLatin1Char('/'), -1);
    for (QChar &c : name) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char('_');
    }
    name = name.trimmed();
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        name.clear();
    // A leading dot would hide the saved file from the user who saved it.
    if (isDeviceName(name) || name.startsWith(QLatin1Char('.')))
        name.prepend(QLatin1Char('_'));
    name = truncatedToBytes(name, MaxNameBytes);
    if (name.isEmpty())
        name = QStringLiteral("file");
    return name;
}

QString WMailFiles::save(const QString &folder, const Entry &entry, QString *error)
{
    // Joined by hand: QDir::filePath takes a name that starts with ':' for a
    // path into the program's resources, where nothing can be written.
    const QString prefix = QDir(folder).path() + QLatin1Char('/');
    const QString name = safeName(entry.name);
    for (int n = 1; n <= MaxNameTries; ++n) {
        const QString path = prefix + (n == 1 ? name : numbered(name, n));
        QFile file(path);
        // NewOnly: an existing file, link or device is never opened.
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
                continue;
            *error = QObject::tr("Cannot save %1: %2").arg(path, file.errorString());
            return QString();
        }
        if (file.write(entry.contents) != entry.contents.size() || !file.flush()) {
            *error = QObject::tr("Cannot save %1: %2").arg(path, file.errorString());
            file.remove();
            return QString();
        }
        return path;
    }
    *error = QObject::tr("Cannot save %1: too many files of that name in %2").arg(name, folder);
    return QString();
}
