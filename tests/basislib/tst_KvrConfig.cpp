#include "QtTestSuite.h"
#include "KvrConfig.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <algorithm>

#include <utility>

using Entries = QVector<std::pair<QString, QByteArray>>;
Q_DECLARE_METATYPE(Entries)

namespace {

KvrConfig recordOf(const Entries &entries)
{
    KvrConfig record;
    for (const auto &[key, value] : entries)
        record.SetValue(key, value);
    return record;
}

Entries entriesOf(const KvrConfig &record)
{
    Entries entries;
    for (int i = 0; i < record.size(); ++i)
        entries.append({record.GetKey(i), record.GetValue(i)});
    return entries;
}

QByteArray u32(quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    return QByteArray(b, 4);
}

// One entry of the binary form, written by hand.
QByteArray entryBytes(const QByteArray &key, const QByteArray &value)
{
    return u32(quint32(key.size())) + key + u32(quint32(value.size())) + value;
}

Entries numberedEntries(int count)
{
    Entries entries;
    for (int i = 0; i < count; ++i)
        entries.append({QStringLiteral("key%1").arg(i), QByteArray::number(i * 7)});
    return entries;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

} // namespace

class tst_KvrConfig : public QObject
{
    Q_OBJECT

private slots:
    void binaryRoundTrip_data();
    void binaryRoundTrip();
    void binaryPieces_data();
    void binaryPieces();
    void everyPrefixIsRejected();
    void damagedFormIsRejected_data();
    void damagedFormIsRejected();
    void setValue_data();
    void setValue();
    void typedSettersWriteText();
    void positionalWalkAndRemoveKey_data();
    void positionalWalkAndRemoveKey();
    void movedFromRecordStaysUsable();
    void setIdIsFreshEachCall();
    void resultFlag_data();
    void resultFlag();
    void fileRoundTrip();
    void failedLoadKeepsRecord_data();
    void failedLoadKeepsRecord();
    void loadWithoutEncoding_data();
    void loadWithoutEncoding();
    void failedLoadWithoutEncodingLeavesEmpty();
};

void tst_KvrConfig::binaryRoundTrip_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::newRow("empty record") << Entries{};
    QTest::newRow("1 MiB value") << Entries{{QStringLiteral("payload"), QByteArray(1 << 20, '\xA5')},
                                            {QStringLiteral("after"), "x"}};
    QTest::newRow("UTF-8 keys") << Entries{{QStringLiteral("Größe"), "1"},
                                           {QString::fromUtf8("名前"), QByteArray("\xE2\x82\xAC")},
                                           {QString::fromUtf8("emoji \xF0\x9F\x98\x80"), "2"}};
    QTest::newRow("empty key and empty value") << Entries{{QString(), "v"}, {QStringLiteral("k"), {}}};
    QTest::newRow("binary value") << Entries{{QStringLiteral("b"), QByteArray("\0\xFF\0\x01", 4)}};
    QTest::newRow("order is insertion, not sorted")
        << Entries{{QStringLiteral("zeta"), "1"}, {QStringLiteral("alpha"), "2"}, {QStringLiteral("mid"), "3"}};
    QTest::newRow("many keys (indexed record)") << numberedEntries(40);
}

void tst_KvrConfig::binaryRoundTrip()
{
    QFETCH(Entries, entries);
    const KvrConfig original = recordOf(entries);
    QCOMPARE(entriesOf(original), entries);

    const QByteArray bytes = original.SerializeConfigBinary();
    KvrConfig read;
    read.SetValue(QStringLiteral("stale"), "old");
    QVERIFY(read.DeserializeConfigBinary(bytes));
    QCOMPARE(entriesOf(read), entries);
    QCOMPARE(read.SerializeConfigBinary(), bytes);
    for (const auto &[key, value] : entries) // look-up by name, not only by position
        QCOMPARE(read.GetValue(key), value);
}

void tst_KvrConfig::binaryPieces_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<int>("expectedPieces");

    const QByteArray large(100, 'L');
    const QByteArray small(99, 's');
    QTest::newRow("no value large enough") << Entries{{QStringLiteral("a"), small}, {QStringLiteral("b"), "1"}} << 1;
    QTest::newRow("large value last") << Entries{{QStringLiteral("a"), small}, {QStringLiteral("b"), large}} << 2;
    QTest::newRow("large value in the middle")
        << Entries{{QStringLiteral("a"), "1"}, {QStringLiteral("b"), large}, {QStringLiteral("c"), small}} << 3;
    QTest::newRow("large values side by side")
        << Entries{{QStringLiteral("a"), large}, {QStringLiteral("b"), large}} << 4;
    QTest::newRow("empty record") << Entries{} << 1;
}

void tst_KvrConfig::binaryPieces()
{
    QFETCH(Entries, entries);
    QFETCH(int, expectedPieces);
    const KvrConfig record = recordOf(entries);

    const QVector<QByteArray> pieces = record.SerializeConfigBinaryPieces(100);
    QCOMPARE(pieces.size(), expectedPieces);
    QByteArray joined;
    for (const QByteArray &piece : pieces) {
        QVERIFY(!piece.isEmpty());
        joined += piece;
    }
    QCOMPARE(joined, record.SerializeConfigBinary());
    // Large values travel as the record holds them, not as copies.
    for (int i = 0; i < record.size(); ++i) {
        if (record.GetValue(i).size() < 100)
            continue;
        const char *const data = record.GetValue(i).constData();
        QVERIFY(std::any_of(pieces.cbegin(), pieces.cend(),
                            [data](const QByteArray &piece) { return piece.constData() == data; }));
    }
}

void tst_KvrConfig::everyPrefixIsRejected()
{
    const KvrConfig original = recordOf({{QStringLiteral("ID"), "{abc}"},
                                         {QString::fromUtf8("ключ"), "value"},
                                         {QStringLiteral("empty"), {}}});
    const QByteArray bytes = original.SerializeConfigBinary();
    for (int length = 0; length < bytes.size(); ++length) {
        KvrConfig read = original;
        QVERIFY2(!read.DeserializeConfigBinary(bytes.left(length)), qPrintable(QString::number(length)));
        QCOMPARE(read.size(), 0);
    }
}

void tst_KvrConfig::damagedFormIsRejected_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("value length claims 2 GiB") << u32(1) + u32(1) + "a" + u32(0x80000000u) + "xyz";
    QTest::newRow("value length claims 4 GiB - 1") << u32(1) + u32(1) + "a" + u32(0xFFFFFFFFu);
    QTest::newRow("key length claims 2 GiB") << u32(1) + u32(0x80000000u) + "abc";
    QTest::newRow("count claims 2^32 - 1 entries") << u32(0xFFFFFFFFu) + entryBytes("a", "b");
    QTest::newRow("count one beyond the entries") << u32(2) + entryBytes("a", "b");
    QTest::newRow("trailing byte") << u32(1) + entryBytes("a", "b") + "!";
    QTest::newRow("same key twice") << u32(2) + entryBytes("a", "1") + entryBytes("a", "2");
    QTest::newRow("key not UTF-8") << u32(1) + entryBytes("\xC3(", "v");
    QTest::newRow("empty input") << QByteArray();
}

void tst_KvrConfig::damagedFormIsRejected()
{
    QFETCH(QByteArray, bytes);
    KvrConfig read;
    read.SetValue(QStringLiteral("stale"), "old");
    QVERIFY(!read.DeserializeConfigBinary(bytes));
    QCOMPARE(read.size(), 0);
}

void tst_KvrConfig::setValue_data()
{
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("later set replaces") << true << QByteArray("second");
    QTest::newRow("overwrite false keeps") << false << QByteArray("first");
}

void tst_KvrConfig::setValue()
{
    QFETCH(bool, overwrite);
    QFETCH(QByteArray, expected);
    KvrConfig record;
    record.sv(QStringLiteral("a"), QStringLiteral("x"));
    record.sv(QStringLiteral("key"), QStringLiteral("first"));
    record.sv(QStringLiteral("z"), QStringLiteral("y"));
    record.SetValue(QStringLiteral("key"), QByteArray("second"), overwrite);

    QCOMPARE(record.size(), 3); // one entry per key, in its first place
    QCOMPARE(record.GetKey(1), QStringLiteral("key"));
    QCOMPARE(record.GetValue(QStringLiteral("key")), expected);
    QCOMPARE(record.gv(QStringLiteral("key")), QString::fromUtf8(expected));

    // Absent keys and positions give empty values.
    QVERIFY(!record.CheckKeyExist(QStringLiteral("absent")));
    QVERIFY(record.GetValue(QStringLiteral("absent")).isEmpty());
    QVERIFY(record.gv(QStringLiteral("absent")).isEmpty());
    QVERIFY(record.GetValue(3).isEmpty());
    QVERIFY(record.GetValue(-1).isEmpty());
    QVERIFY(record.GetKey(3).isEmpty());
}

void tst_KvrConfig::typedSettersWriteText()
{
    KvrConfig record;
    record.SetValue(QStringLiteral("on"), true);
    record.SetValue(QStringLiteral("off"), false);
    record.SetValue(QStringLiteral("int"), -42);
    record.SetValue(QStringLiteral("long"), Q_INT64_C(1) << 40);
    record.SetValue(QStringLiteral("text"), QString::fromUtf8("Grüße"));
    record.SetValue(QStringLiteral("chars"), "plain");

    KvrConfig read;
    QVERIFY(read.DeserializeConfigBinary(record.SerializeConfigBinary()));
    QCOMPARE(entriesOf(read), (Entries{{QStringLiteral("on"), "1"},
                                       {QStringLiteral("off"), "0"},
                                       {QStringLiteral("int"), "-42"},
                                       {QStringLiteral("long"), "1099511627776"},
                                       {QStringLiteral("text"), QByteArray("Gr\xC3\xBC\xC3\x9F" "e")},
                                       {QStringLiteral("chars"), "plain"}}));
    QCOMPARE(read.gv(QStringLiteral("text")), QString::fromUtf8("Grüße"));
}

void tst_KvrConfig::positionalWalkAndRemoveKey_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("small record") << 5;
    QTest::newRow("indexed record") << 40;
}

void tst_KvrConfig::positionalWalkAndRemoveKey()
{
    QFETCH(int, count);
    Entries entries = numberedEntries(count);
    KvrConfig record = recordOf(entries);
    const KvrConfig before = record; // a copy must not see the removal

    const int middle = count / 2;
    QVERIFY(record.RemoveKey(entries.at(middle).first));
    QVERIFY(!record.RemoveKey(entries.at(middle).first));
    entries.remove(middle);

    QCOMPARE(entriesOf(record), entries);
    for (const auto &[key, value] : entries) // every later key is still found by name
        QCOMPARE(record.GetValue(key), value);
    QVERIFY(!record.CheckKeyExist(QStringLiteral("key%1").arg(middle)));
    QCOMPARE(before.size(), count);

    // A key added after the removal is found too.
    record.sv(QStringLiteral("new"), QStringLiteral("n"));
    QCOMPARE(record.gv(QStringLiteral("new")), QStringLiteral("n"));
    QCOMPARE(record.GetKey(record.size() - 1), QStringLiteral("new"));

    // Removal by prefix keeps the others in order and findable by name.
    record.sv(QStringLiteral("Wivora::sender"), QStringLiteral("mallory"));
    record.sv(QStringLiteral("Wivora::connection"), QStringLiteral("0"));
    const KvrConfig shared = record;
    QCOMPARE(record.RemoveKeysWithPrefix(QStringLiteral("Wivora::")), 2);
    QCOMPARE(record.RemoveKeysWithPrefix(QStringLiteral("Wivora::")), 0);
    entries.append({QStringLiteral("new"), "n"});
    QCOMPARE(entriesOf(record), entries);
    for (const auto &[key, value] : entries)
        QCOMPARE(record.GetValue(key), value);
    QCOMPARE(shared.gv(QStringLiteral("Wivora::sender")), QStringLiteral("mallory"));
}

void tst_KvrConfig::movedFromRecordStaysUsable()
{
    KvrConfig source = recordOf({{QStringLiteral("a"), "1"}});
    KvrConfig target(std::move(source));
    QCOMPARE(target.gv(QStringLiteral("a")), QStringLiteral("1"));
    QCOMPARE(source.size(), 0); // NOLINT(bugprone-use-after-move): that is the point
    source.sv(QStringLiteral("b"), QStringLiteral("2"));
    QCOMPARE(source.gv(QStringLiteral("b")), QStringLiteral("2"));

    KvrConfig assigned;
    assigned = std::move(source);
    QCOMPARE(assigned.gv(QStringLiteral("b")), QStringLiteral("2"));
    source.clear();
    source.sv(QStringLiteral("c"), QStringLiteral("3"));
    QCOMPARE(source.size(), 1);
    QCOMPARE(assigned.size(), 1);
}

void tst_KvrConfig::setIdIsFreshEachCall()
{
    KvrConfig record;
    QSet<QString> seen;
    for (int i = 0; i < 100; ++i) {
        const QString id = record.SetID();
        QVERIFY(!id.isEmpty());
        QCOMPARE(record.GetID(), id);
        QCOMPARE(record.gv(QStringLiteral("ID")), id);
        seen.insert(id);
    }
    QCOMPARE(seen.size(), 100);
    QCOMPARE(record.size(), 1);
}

void tst_KvrConfig::resultFlag_data()
{
    QTest::addColumn<int>("set"); // -1: never set
    QTest::addColumn<bool>("expected");
    QTest::newRow("set true") << 1 << true;
    QTest::newRow("set false") << 0 << false;
    QTest::newRow("never set") << -1 << false;
}

void tst_KvrConfig::resultFlag()
{
    QFETCH(int, set);
    QFETCH(bool, expected);
    KvrConfig record;
    record.SetResult(true); // the last call counts
    if (set >= 0)
        record.SetResult(set == 1);
    else
        record = KvrConfig();
    QCOMPARE(record.checkResult(), expected);

    KvrConfig read; // the flag travels inside the record
    QVERIFY(read.DeserializeConfigBinary(record.SerializeConfigBinary()));
    QCOMPARE(read.checkResult(), expected);
}

void tst_KvrConfig::fileRoundTrip()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("record.dat"));
    Entries entries = numberedEntries(20);
    entries.append({QString::fromUtf8("größe"), QByteArray(70000, '\0')});
    QVERIFY(recordOf(entries).SaveConfig(path));

    KvrConfig loaded = recordOf({{QStringLiteral("stale"), "x"}});
    QVERIFY(loaded.LoadConfig(path));
    QCOMPARE(entriesOf(loaded), entries);

    QVERIFY(KvrConfig().SaveConfig(path)); // overwrites
    QVERIFY(loaded.LoadConfig(path));
    QCOMPARE(loaded.size(), 0);

    QVERIFY(!KvrConfig().SaveConfig(dir.filePath(QStringLiteral("missing/folder/record.dat"))));
}

void tst_KvrConfig::failedLoadKeepsRecord_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    const QByteArray valid = [] {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("r"));
        recordOf({{QStringLiteral("k"), "v"}}).SaveConfig(path);
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }();
    QVERIFY(!valid.isEmpty());
    QTest::newRow("no file") << QByteArray();
    QTest::newRow("empty file") << QByteArray("");
    QTest::newRow("truncated") << valid.left(valid.size() - 1);
    QTest::newRow("bare binary form, no file tag") << recordOf({{QStringLiteral("k"), "v"}}).SerializeConfigBinary();
    QTest::newRow("text") << QByteArray("k=\"v\"\n");
}

void tst_KvrConfig::failedLoadKeepsRecord()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record.dat"));
    if (!content.isNull())
        writeFile(path, content);
    const Entries kept{{QStringLiteral("keep"), "me"}, {QStringLiteral("and"), "me"}};
    KvrConfig record = recordOf(kept);
    QVERIFY(!record.LoadConfig(path));
    QCOMPARE(entriesOf(record), kept);
}

void tst_KvrConfig::loadWithoutEncoding_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Entries>("expected");
    QTest::newRow("lines in file order")
        << QByteArray(":)=\"smile.png\"\n:(=\"sad.png\"\n;)=\"wink.png\"\n")
        << Entries{{":)", "smile.png"}, {":(", "sad.png"}, {";)", "wink.png"}};
    QTest::newRow("spaces inside quotes kept, CRLF, blank lines, no final newline")
        << QByteArray("a=\"file name.png\"\r\n\r\nb=\"x y\"")
        << Entries{{"a", "file name.png"}, {"b", "x y"}};
    QTest::newRow("'=' in the code's value and UTF-8")
        << QByteArray("=)=\"eq.png\"\n\xC3\xA4=\"\xC3\xA4.png\"\n")
        << Entries{{"=)", "eq.png"}, {QString::fromUtf8("ä"), QByteArray("\xC3\xA4.png")}};
    QTest::newRow("byte-order mark is not part of the first code")
        << QByteArray("\xEF\xBB\xBF" "x=\"1.png\"\n") << Entries{{"x", "1.png"}};
    QTest::newRow("empty file") << QByteArray("") << Entries{};
}

void tst_KvrConfig::loadWithoutEncoding()
{
    QFETCH(QByteArray, content);
    QFETCH(Entries, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list.txt"));
    writeFile(path, content);
    KvrConfig record = recordOf({{QStringLiteral("stale"), "x"}});
    QVERIFY(record.LoadConfigWithoutEncoding(path));
    QCOMPARE(entriesOf(record), expected);
}

void tst_KvrConfig::failedLoadWithoutEncodingLeavesEmpty()
{
    QTemporaryDir dir;
    KvrConfig record = recordOf({{QStringLiteral("stale"), "x"}});
    QVERIFY(!record.LoadConfigWithoutEncoding(dir.filePath(QStringLiteral("missing.txt"))));
    QCOMPARE(record.size(), 0);
}

WIVORA_TEST_GUILESS_MAIN(tst_KvrConfig)
#include "tst_KvrConfig.moc"
