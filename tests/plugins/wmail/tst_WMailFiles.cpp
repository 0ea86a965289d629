#include "QtTestSuite.h"
#include "WMailFiles.h"

#include <QDataStream>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

using Entry = WMailFiles::Entry;

namespace {

QByteArray itemData(const QList<Entry> &entries, std::optional<qint32> count = {})
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    out << count.value_or(qint32(entries.size()));
    for (const Entry &entry : entries)
        out << entry.name << entry.size << entry.contents;
    return bytes;
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Every file below root, relative to it.
QStringList filesBelow(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(root).relativeFilePath(it.next());
    found.sort();
    return found;
}

} // namespace

class tst_WMailFiles : public QObject
{
    Q_OBJECT

private slots:
    void formatSize_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "0 bytes";
        QTest::newRow("1024") << qint64(1024) << "1024 bytes";
        QTest::newRow("1025") << qint64(1025) << "1 KB";
        QTest::newRow("1048577") << qint64(1048577) << "1024 KB";
        QTest::newRow("1073741825") << qint64(1073741825) << "1024 MB";
        QTest::newRow("2e9") << qint64(2000000000) << "1907 MB";
    }
    void formatSize()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(WMailFiles::formatSize(bytes), text);
    }

    // Sent files come back byte for byte; what is not a readable regular
    // file is left out and the count matches the entries.
    void encodeRoundTrip()
    {
        QTemporaryDir dir;
        const QByteArray binary("a\0b\xff\r\n", 6);
        writeFile(dir.filePath("one.bin"), binary);
        writeFile(dir.filePath("empty"), QByteArray());
        writeFile(dir.filePath("last.txt"), "after the empty one");
        QDir(dir.path()).mkdir("folder");
        QString error;
        const QByteArray data = WMailFiles::encode({dir.filePath("one.bin"), dir.filePath("gone"), dir.filePath("folder"),
                                                    dir.filePath("empty"), dir.filePath("last.txt")},
                                                   &error);
        QVERIFY2(!data.isEmpty(), qPrintable(error));

        const QList<Entry> shown = WMailFiles::readPreview(WMailFiles::preview(data));
        QCOMPARE(shown.size(), 3);
        QCOMPARE(shown.at(0).name, QStringLiteral("one.bin"));
        QCOMPARE(shown.at(0).size, qint64(6));
        QCOMPARE(shown.at(1).name, QStringLiteral("empty"));
        Entry entry;
        QVERIFY(WMailFiles::readEntry(data, 0, &entry));
        QCOMPARE(entry.contents, binary);
        QVERIFY(WMailFiles::readEntry(data, 1, &entry));
        QCOMPARE(entry.contents, QByteArray());
        // Reached past the empty file, whose contents are written as a null array.
        QVERIFY(WMailFiles::readEntry(data, 2, &entry));
        QCOMPARE(entry.contents, QByteArray("after the empty one"));
        QVERIFY(!WMailFiles::readEntry(data, 3, &entry));
        QVERIFY(!WMailFiles::readEntry(data, -1, &entry));
    }

    void tooBigIsRefused()
    {
        QTemporaryDir dir;
        QFile big(dir.filePath("big"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(WMailFiles::MaxTotalSize + 1)); // sparse: nothing is written
        big.close();
        QString error;
        QVERIFY(WMailFiles::encode({big.fileName()}, &error).isEmpty());
        QVERIFY(error.contains("too big"));
    }

    void safeName_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "report.pdf" << "report.pdf";
        QTest::newRow("parent") << ".." << "file";
        QTest::newRow("dot") << "." << "file";
        QTest::newRow("empty") << "" << "file";
        QTest::newRow("climb") << "../../.profile" << "_.profile";
        QTest::newRow("hidden") << ".bashrc" << "_.bashrc";
        QTest::newRow("hidden after spaces") << "  .ssh" << "_.ssh";
        QTest::newRow("dots") << "..." << "_...";
        QTest::newRow("absolute") << "/etc/passwd" << "passwd";
        QTest::newRow("backslashes") << "..\\..\\x.txt" << "x.txt";
        QTest::newRow("trailing slash") << "dir/" << "file";
        QTest::newRow("NUL") << QString("a") + QChar(0) + "b" << "a_b";
        QTest::newRow("control") << "a\nb\x1b" << "a_b_";
        QTest::newRow("device") << "CON" << "_CON";
        QTest::newRow("device with suffix") << "nul.txt" << "_nul.txt";
        QTest::newRow("not a device") << "console" << "console";
        QTest::newRow("long") << QString(300, 'x') << QString(255, 'x');
        QTest::newRow("long wide") << QString(200, QChar(0x00e9)) << QString(127, QChar(0x00e9));
    }
    void safeName()
    {
        QFETCH(QString, peer);
        QFETCH(QString, name);
        QCOMPARE(WMailFiles::safeName(peer), name);
    }

    // Whatever a peer names its files, each lands inside the chosen folder
    // with exactly its contents, and nothing else is written anywhere.
    void hostileNamesStayInside()
    {
        QTemporaryDir root;
        QDir(root.path()).mkpath("a/b/chosen");
        const QString folder = root.filePath("a/b/chosen");
        const QStringList names{"..", "../../escape", "/tmp/abs", "x/../../y", QString("n") + QChar(0) + "ul",
                                "CON", "", ".", "..\\..\\w", QString(400, 'z'), ":notes.txt"};
        QList<Entry> entries;
        for (const QString &name : names)
            entries << Entry{name, 1, name.toUtf8() + "!"};
        const QByteArray data = itemData(entries);
        for (int i = 0; i < names.size(); ++i) {
            Entry entry;
            QVERIFY(WMailFiles::readEntry(data, i, &entry));
            QString error;
            const QString saved = WMailFiles::save(folder, entry, &error);
            QVERIFY2(!saved.isEmpty(), qPrintable(error));
            QCOMPARE(QFileInfo(saved).absolutePath(), QFileInfo(folder).absoluteFilePath());
            QCOMPARE(readFile(saved), entries.at(i).contents);
        }
        for (const QString &path : filesBelow(root.path()))
            QVERIFY2(path.startsWith("a/b/chosen/"), qPrintable(path));
        QCOMPARE(filesBelow(root.path()).size(), names.size());
    }

    // An existing file, or a link to one elsewhere, is never written through.
    void existingNeverReplaced()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("note.txt"), "mine, longer than theirs");
        writeFile(dir.filePath("note (2).txt"), "mine too");
        writeFile(dir.filePath("outside"), "keep");
        QVERIFY(QFile::link(dir.filePath("outside"), dir.filePath("link")));
        QString error;
        const QString saved = WMailFiles::save(dir.path(), Entry{"note.txt", 6, "theirs"}, &error);
        QCOMPARE(QFileInfo(saved).fileName(), QStringLiteral("note (3).txt"));
        QCOMPARE(readFile(saved), QByteArray("theirs"));
        QCOMPARE(readFile(dir.filePath("note.txt")), QByteArray("mine, longer than theirs"));
        QCOMPARE(QFileInfo(WMailFiles::save(dir.path(), Entry{"link", 1, "x"}, &error)).fileName(),
                 QStringLiteral("link (2)"));
        QCOMPARE(readFile(dir.filePath("outside")), QByteArray("keep"));
    }

    void failedSaveIsReported()
    {
        QTemporaryDir dir;
        QString error;
        QVERIFY(WMailFiles::save(dir.filePath("missing"), Entry{"a", 1, "x"}, &error).isEmpty());
        QVERIFY(error.contains("Cannot save"));
        QVERIFY(!QFileInfo::exists(dir.filePath("missing")));
    }

    void damagedData_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("shown");
        QTest::addColumn<QString>("lastName");
        const QList<Entry> two{{"a", 1, "x"}, {"b", 2, "yy"}};
        QTest::newRow("empty") << QByteArray() << 0 << "";
        QTest::newRow("count above entries") << itemData(two, 3) << 2 << "b";
        QTest::newRow("count far above bytes") << itemData(two, 0x7fffffff) << 0 << "";
        QTest::newRow("negative count") << itemData(two, -5) << 0 << "";
        QTest::newRow("truncated") << itemData(two).left(30) << 1 << "a";
        QByteArray hugeLength = itemData({{"a", 1, ""}});
        hugeLength.chop(4);
        hugeLength.append("\x7f\xff\xff\xf0", 4);
        QTest::newRow("contents length beyond bytes") << hugeLength << 0 << "";
        QList<Entry> many;
        for (int i = 0; i < 10000; ++i)
            many << Entry{QString::number(i), 1, "c"};
        QTest::newRow("10000 entries") << itemData(many) << 10000 << "9999";
    }
    // Damaged or crafted data yields its whole entries only and costs no
    // more than its bytes; sound data of many entries reads whole.
    void damagedData()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, shown);
        QFETCH(QString, lastName);
        const QList<Entry> previewed = WMailFiles::readPreview(WMailFiles::preview(data));
        QCOMPARE(previewed.size(), shown);
        Entry entry;
        QCOMPARE(WMailFiles::readEntry(data, qMax(0, shown - 1), &entry), shown > 0);
        QCOMPARE(entry.name, lastName);
        QVERIFY(!WMailFiles::readEntry(data, shown, &entry));
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailFiles)
#include "tst_WMailFiles.moc"
