#include "KvrConfig.h"

#include <QFile>
#include <QHash>
#include <QSaveFile>
#include <QTextStream>
#include <QUuid>
#include <QVector>
#include <QtEndian>

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

KvrConfig::KvrConfig() : d(new KvrConfigData) {}
KvrConfig::KvrConfig(const KvrConfig &other) = default;
KvrConfig::KvrConfig(KvrConfig &&other) noexcept = default;
KvrConfig &KvrConfig::operator=(const KvrConfig &other) = default;
KvrConfig &KvrConfig::operator=(KvrConfig &&other) noexcept = default;
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

int KvrConfig::size() const
{
    return d->entries.size();
}

void KvrConfig::clear()
{
    d->entries.clear();
    d->index.clear();
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
    int total = 4;
    QVector<QByteArray> keys;
    keys.reserve(d->entries.size());
    for (const Entry &e : d->entries) {
        keys.append(e.key.toUtf8());
        total += 8 + keys.last().size() + e.value.size();
    }
    QByteArray out;
    out.reserve(total);
    appendU32(out, quint32(d->entries.size()));
    for (int i = 0; i < d->entries.size(); ++i) {
        appendU32(out, quint32(keys.at(i).size()));
        out.append(keys.at(i));
        const QByteArray &value = d->entries.at(i).value;
        appendU32(out, quint32(value.size()));
        out.append(value);
    }
    return out;
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
    parsed.d->entries.reserve(int(count));
    for (quint32 i = 0; i < count; ++i) {
        quint32 keyLen = 0;
        if (!readU32(keyLen) || keyLen > quint32(left))
            return false;
        const QString key = QString::fromUtf8(p, int(keyLen));
        p += keyLen;
        left -= keyLen;
        quint32 valueLen = 0;
        if (!readU32(valueLen) || valueLen > quint32(left))
            return false;
        parsed.d->set(key, QByteArray(p, int(valueLen)), true);
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
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
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
