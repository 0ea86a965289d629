#include "KvrConfig.h"

#include <QFile>
#include <QHash>
#include <QSaveFile>
#include <QTextStream>
#include <QUuid>
#include <QVector>
#include <QtEndian>

#include <algorithm>
#include <climits>

namespace {

const QString kIdKey = QStringLiteral("ID");
const QString kResultKey = QStringLiteral("result");
// Records with more keys than this keep a hash index beside the ordered list.
constexpr int kIndexThreshold = 16;
// File form: a magic tag in front of the binary form.
const QByteArray kFileMagic = QByteArrayLiteral("KVRC\x01");

struct Entry
{
    QString key;
    QByteArray value;
};

void appendU32(QByteArray &out, quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    out.append(b, 4);
}

} // namespace

class KvrConfigData : public QSharedData
{
public:
    QVector<Entry> entries;
    QHash<QString, int> index; // filled only above kIndexThreshold

    int find(const QString &key) const
    {
        if (!index.isEmpty())
            return index.value(key, -1);
        for (int i = 0; i < entries.size(); ++i)
            if (entries.at(i).key == key)
                return i;
        return -1;
    }

    void set(const QString &key, QByteArray &&value, bool overwrite)
    {
        const int at = find(key);
        if (at >= 0) {
            if (overwrite)
                entries[at].value = std::move(value);
            return;
        }
        append(key, std::move(value));
    }

    // Adds a key that is not in the record yet.
    void append(const QString &key, QByteArray &&value)
    {
        entries.append(Entry{key, std::move(value)});
        if (entries.size() > kIndexThreshold) {
            if (index.isEmpty())
                reindex();
            else
                index.insert(key, entries.size() - 1);
        }
    }

    void reindex()
    {
        index.clear();
        if (entries.size() <= kIndexThreshold)
            return;
        index.reserve(entries.size());
        for (int i = 0; i < entries.size(); ++i)
            index.insert(entries.at(i).key, i);
    }
};

namespace {

// The one empty record every fresh, cleared or moved-from record shares until
// its first write, so those never allocate and a moved-from record stays
// usable.
const QSharedDataPointer<KvrConfigData> &sharedEmpty()
{
    static const QSharedDataPointer<KvrConfigData> empty(new KvrConfigData);
    return empty;
}

// A key read from bytes, or a null text when the bytes are not valid UTF-8
// (a key that would not read back as the same bytes).
QString keyFromUtf8(const char *p, int size)
{
    bool ascii = true;
    for (int i = 0; i < size && ascii; ++i)
        ascii = uchar(p[i]) < 0x80;
    if (ascii)
        return size == 0 ? QString(QLatin1String("")) : QString::fromLatin1(p, size);
    const QString key = QString::fromUtf8(p, size);
    if (key.toUtf8() != QByteArray::fromRawData(p, size))
        return QString();
    return key;
}

// Writes the binary form of entries to out, except for each value of at
// least sharedValueBytes bytes: there split(out, value) is called instead, to
// take what out holds so far and the value as it is.
template <typename Split>
void writeBinary(const QVector<Entry> &entries, int sharedValueBytes, QByteArray &out, Split split)
{
    QVector<QByteArray> keys;
    keys.reserve(entries.size());
    int written = 4;
    for (const Entry &e : entries) {
        keys.append(e.key.toUtf8());
        written += 8 + keys.last().size() + (e.value.size() < sharedValueBytes ? e.value.size() : 0);
    }
    out.reserve(written);
    appendU32(out, quint32(entries.size()));
    for (int i = 0; i < entries.size(); ++i) {
        appendU32(out, quint32(keys.at(i).size()));
        out.append(keys.at(i));
        const QByteArray &value = entries.at(i).value;
        appendU32(out, quint32(value.size()));
        if (value.size() < sharedValueBytes)
            out.append(value);
        else
            split(out, value);
    }
}

} // namespace

KvrConfig::KvrConfig() : d(sharedEmpty()) {}
KvrConfig::KvrConfig(const KvrConfig &other) = default;

KvrConfig::KvrConfig(KvrConfig &&other) noexcept : d(sharedEmpty())
{
    d.swap(other.d);
}

KvrConfig &KvrConfig::operator=(const KvrConfig &other) = default;

KvrConfig &KvrConfig::operator=(KvrConfig &&other) noexcept
{
    d.swap(other.d);
    return *this;
}

KvrConfig::~KvrConfig() = default;

void KvrConfig::SetValue(const QString &key, const QByteArray &value, bool overwrite)
{
    QByteArray copy = value;
    d->set(key, std::move(copy), overwrite);
}

void KvrConfig::SetValue(const QString &key, const QString &value, bool overwrite)
{
    d->set(key, value.toUtf8(), overwrite);
}

void KvrConfig::SetValue(const QString &key, const char *value, bool overwrite)
{
    d->set(key, QByteArray(value), overwrite);
}

void KvrConfig::SetValue(const QString &key, int value, bool overwrite)
{
    d->set(key, QByteArray::number(value), overwrite);
}

void KvrConfig::SetValue(const QString &key, qint64 value, bool overwrite)
{
    d->set(key, QByteArray::number(value), overwrite);
}

void KvrConfig::SetValue(const QString &key, bool value, bool overwrite)
{
    d->set(key, value ? QByteArrayLiteral("1") : QByteArrayLiteral("0"), overwrite);
}

void KvrConfig::sv(const QString &key, const QString &value, bool overwrite)
{
    SetValue(key, value, overwrite);
}

QByteArray KvrConfig::GetValue(const QString &key) const
{
    const int at = d->find(key);
    return at >= 0 ? d->entries.at(at).value : QByteArray();
}

QByteArray KvrConfig::GetValue(int index) const
{
    return index >= 0 && index < d->entries.size() ? d->entries.at(index).value : QByteArray();
}

QString KvrConfig::GetKey(int index) const
{
    return index >= 0 && index < d->entries.size() ? d->entries.at(index).key : QString();
}

QString KvrConfig::gv(const QString &key) const
{
    return QString::fromUtf8(GetValue(key));
}

bool KvrConfig::CheckKeyExist(const QString &key) const
{
    return d->find(key) >= 0;
}

bool KvrConfig::RemoveKey(const QString &key)
{
    const int at = d->find(key);
    if (at < 0)
        return false;
    d->entries.remove(at);
    d->reindex();
    return true;
}

int KvrConfig::RemoveKeysWithPrefix(const QString &prefix)
{
    const auto matches = [&prefix](const Entry &e) { return e.key.startsWith(prefix); };
    const QVector<Entry> &entries = d.constData()->entries; // no copy of shared data unless needed
    if (std::none_of(entries.cbegin(), entries.cend(), matches))
        return 0;
    const int before = d->entries.size();
    d->entries.erase(std::remove_if(d->entries.begin(), d->entries.end(), matches), d->entries.end());
    d->reindex();
    return before - d->entries.size();
}

int KvrConfig::size() const
{
    return d->entries.size();
}

void KvrConfig::clear()
{
    d = sharedEmpty();
}

QString KvrConfig::SetID()
{
    // QUuid draws from the system's cryptographic random source.
    const QString id = QUuid::createUuid().toString();
    sv(kIdKey, id);
    return id;
}

void KvrConfig::SetResult(bool ok)
{
    SetValue(kResultKey, ok);
}

bool KvrConfig::checkResult() const
{
    return GetValue(kResultKey) == "1";
}

QByteArray KvrConfig::SerializeConfigBinary() const
{
    QByteArray out;
    writeBinary(d->entries, INT_MAX, out, [](QByteArray &, const QByteArray &) {});
    return out;
}

QVector<QByteArray> KvrConfig::SerializeConfigBinaryPieces(int sharedValueBytes) const
{
    QVector<QByteArray> pieces;
    QByteArray out;
    writeBinary(d->entries, sharedValueBytes, out, [&pieces](QByteArray &before, const QByteArray &value) {
        pieces.append(before);
        pieces.append(value);
        before = QByteArray();
    });
    if (!out.isEmpty())
        pieces.append(out);
    return pieces;
}

bool KvrConfig::DeserializeConfigBinary(const QByteArray &bytes)
{
    clear();
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    auto readU32 = [&](quint32 &v) {
        if (left < 4)
            return false;
        v = qFromBigEndian<quint32>(p);
        p += 4;
        left -= 4;
        return true;
    };

    quint32 count = 0;
    // Each entry needs at least its two length fields: a count beyond that is
    // damage, and must not drive an allocation.
    if (!readU32(count) || count > quint32(left / 8))
        return false;

    KvrConfig parsed;
    KvrConfigData &data = *parsed.d.data();
    data.entries.reserve(int(count));
    for (quint32 i = 0; i < count; ++i) {
        quint32 keyLen = 0;
        if (!readU32(keyLen) || keyLen > quint32(left))
            return false;
        // A key twice, or one that is not UTF-8, is damage: the record could
        // not be written back as the same bytes.
        const QString key = keyFromUtf8(p, int(keyLen));
        if (key.isNull() || data.find(key) >= 0)
            return false;
        p += keyLen;
        left -= keyLen;
        quint32 valueLen = 0;
        if (!readU32(valueLen) || valueLen > quint32(left))
            return false;
        data.append(key, QByteArray(p, int(valueLen)));
        p += valueLen;
        left -= valueLen;
    }
    if (left != 0)
        return false;
    *this = std::move(parsed);
    return true;
}

bool KvrConfig::LoadConfig(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    if (!bytes.startsWith(kFileMagic))
        return false;
    KvrConfig loaded;
    if (!loaded.DeserializeConfigBinary(bytes.mid(kFileMagic.size())))
        return false;
    *this = std::move(loaded);
    return true;
}

bool KvrConfig::SaveConfig(const QString &path) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(kFileMagic);
    file.write(SerializeConfigBinary());
    return file.commit();
}

bool KvrConfig::LoadConfigWithoutEncoding(const QString &path)
{
    clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine()).trimmed();
        // A byte-order mark is not part of the first code.
        if (line.startsWith(QChar(0xFEFF)))
            line = line.mid(1).trimmed();
        // The code ends at the '=' that opens the quoted name; codes may hold
        // '=' themselves (as "=)" does), so the search starts after the first
        // character.
        int eq = line.indexOf(QLatin1String("=\""), 1);
        if (eq < 0)
            eq = line.indexOf(QLatin1Char('='), 1);
        if (eq < 0)
            continue;
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        sv(line.left(eq).trimmed(), value);
    }
    return true;
}

bool KvrConfig::operator==(const KvrConfig &other) const
{
    if (d == other.d)
        return true;
    if (d->entries.size() != other.d->entries.size())
        return false;
    for (int i = 0; i < d->entries.size(); ++i) {
        const Entry &a = d->entries.at(i);
        const Entry &b = other.d->entries.at(i);
        if (a.key != b.key || a.value != b.value)
            return false;
    }
    return true;
}
