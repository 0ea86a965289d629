#pragma once

#include "basislib_global.h"

#include <QByteArray>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>
#include <QVector>

class KvrConfigData;

// A command record: an ordered set of text keys with byte-array values, one
// entry per key. Records travel by value (implicitly shared, so copies are
// cheap) and are the unit of every wire and file form of the system.
//
// The trailing `overwrite` flag of the setters: true replaces an existing
// value (what every caller passes); false leaves an existing key untouched.
class BASISLIB_EXPORT KvrConfig
{
public:
    KvrConfig();
    KvrConfig(const KvrConfig &other);
    KvrConfig(KvrConfig &&other) noexcept;
    KvrConfig &operator=(const KvrConfig &other);
    KvrConfig &operator=(KvrConfig &&other) noexcept;
    virtual ~KvrConfig();

    void SetValue(const QString &key, const QByteArray &value, bool overwrite = true);
    void SetValue(const QString &key, const QString &value, bool overwrite = true);
    void SetValue(const QString &key, const char *value, bool overwrite = true);
    void SetValue(const QString &key, int value, bool overwrite = true);
    void SetValue(const QString &key, qint64 value, bool overwrite = true);
    void SetValue(const QString &key, bool value, bool overwrite = true);
    void sv(const QString &key, const QString &value, bool overwrite = true);

    // An absent key (or index out of range) gives an empty value.
    QByteArray GetValue(const QString &key) const;
    QByteArray GetValue(int index) const;
    QString GetKey(int index) const;
    QString gv(const QString &key) const;

    bool CheckKeyExist(const QString &key) const;
    bool RemoveKey(const QString &key);
    // Removes every key that begins with prefix; returns how many went.
    int RemoveKeysWithPrefix(const QString &prefix);
    int size() const;
    bool isEmpty() const { return size() == 0; }
    void clear();

    // Gives the record a fresh, unguessable "ID" and returns it.
    QString SetID();
    QString GetID() const { return gv(QStringLiteral("ID")); }

    // The result flag of a reply, carried inside the record under "result".
    void SetResult(bool ok);
    bool checkResult() const;

    // Binary form: big-endian u32 entry count, then per entry u32 key length,
    // UTF-8 key, u32 value length, value. Deserialising damaged bytes (a
    // truncation, a length beyond the input, trailing bytes, a key twice or a
    // key that is not UTF-8) leaves the record empty and returns false, so
    // whatever is accepted writes back as the same bytes.
    QByteArray SerializeConfigBinary() const;
    bool DeserializeConfigBinary(const QByteArray &bytes);
    // The same binary form as consecutive pieces, for writers that gather:
    // values of at least sharedValueBytes bytes are pieces of their own,
    // shared with the record rather than copied; the bytes between them are
    // joined into one piece each.
    QVector<QByteArray> SerializeConfigBinaryPieces(int sharedValueBytes) const;

    // A record in a file (written atomically). A failed load leaves the record
    // as it was; a successful one replaces every entry.
    bool LoadConfig(const QString &path);
    bool SaveConfig(const QString &path) const;

    // Reads a text file of lines `code="file name"`, one entry per line in
    // file order, the value without its quotes. A failed load leaves the
    // record empty.
    bool LoadConfigWithoutEncoding(const QString &path);

    bool operator==(const KvrConfig &other) const;
    bool operator!=(const KvrConfig &other) const { return !(*this == other); }

private:
    QSharedDataPointer<KvrConfigData> d;
};

Q_DECLARE_METATYPE(KvrConfig)
