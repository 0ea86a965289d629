// Partial downloads kept beside their target with a record of their source's
// version, on real files: only a pair that matches the version asked for is
// gone on from; any other is started anew without touching anything outside
// the target's folder.
#include "FileBytes.h"
#include "QtTestSuite.h"
#include "RandomBytes.h"

#include <PartialFile.h>

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int SourceBytes = 300000;
constexpr int KeptBytes = 120000;

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

SourceVersion film()
{
    SourceVersion version;
    version.path = QStringLiteral("vls/alice/docs/root/film.bin");
    version.size = SourceBytes;
    version.modified = QByteArrayLiteral("2026-12-11T10:00:00");
    return version;
}

} // namespace

class tst_KeptPartial : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void onlyAMatchingPairIsGoneOnFrom_data();
    void onlyAMatchingPairIsGoneOnFrom();
    void keptUntilCommittedOrDiscarded();
    void aPartialInUseIsLeftToItsRun();
    void namesStayHiddenInTheTargetsFolder();

private:
    QString target() const { return m_root->filePath("in/film.bin"); }
    QString outside(const QString &name) const { return m_root->filePath("outside/" + name); }

    std::unique_ptr<QTemporaryDir> m_root;
    QByteArray m_source;
};

void tst_KeptPartial::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    QVERIFY(QDir().mkpath(m_root->filePath("in")));
    QVERIFY(QDir().mkpath(m_root->filePath("outside")));
    m_source = randomBytes(SourceBytes, 7);
}

void tst_KeptPartial::onlyAMatchingPairIsGoneOnFrom_data()
{
    // What lies where the partial and its record are looked for.
    QTest::addColumn<QString>("layout");
    QTest::addColumn<qint64>("goesOnFrom");
    QTest::newRow("matching pair") << "match" << qint64(KeptBytes);
    QTest::newRow("size changed") << "other size" << qint64(0);
    QTest::newRow("modification time changed") << "other time" << qint64(0);
    QTest::newRow("another file") << "other path" << qint64(0);
    QTest::newRow("record cut short") << "record cut" << qint64(0);
    QTest::newRow("record with more after it") << "record longer" << qint64(0);
    QTest::newRow("no record") << "no record" << qint64(0);
    QTest::newRow("partial longer than the source") << "partial longer" << qint64(0);
    QTest::newRow("partial is a link") << "partial link" << qint64(0);
    QTest::newRow("partial is a dangling link") << "partial dangling" << qint64(0);
    QTest::newRow("partial is a hard link") << "partial hard link" << qint64(0);
    QTest::newRow("partial is a fifo") << "partial fifo" << qint64(0);
    QTest::newRow("record is a link") << "record link" << qint64(0);
}

void tst_KeptPartial::onlyAMatchingPairIsGoneOnFrom()
{
    QFETCH(QString, layout);
    QFETCH(qint64, goesOnFrom);
    const QString kept = PartialFile::keptPath(target());
    const QString record = PartialFile::sourceRecordPath(target());
    SourceVersion recorded = film();
    if (layout == "other size")
        recorded.size = SourceBytes + 1;
    else if (layout == "other time")
        recorded.modified = "2026-12-11T10:00:01";
    else if (layout == "other path")
        recorded.path = "vls/alice/docs/root/other.bin";
    QByteArray recordBytes = recorded.record();
    if (layout == "record cut")
        recordBytes.chop(1);
    else if (layout == "record longer")
        recordBytes += "x";
    QByteArray partialBytes = m_source.left(KeptBytes);
    if (layout == "partial longer")
        partialBytes = m_source + "more";

    // A file of the user's, which the links below point at: it must stay
    // as it is, and so must a copy of the right record outside.
    const QByteArray precious = "the user's own bytes";
    QVERIFY(writeBytes(outside("precious"), precious));
    QVERIFY(writeBytes(outside("record"), film().record()));
    QVERIFY(writeBytes(outside("partial"), m_source.left(KeptBytes)));

    if (layout == "partial link")
        QVERIFY(QFile::link(outside("partial"), kept));
    else if (layout == "partial dangling")
        QVERIFY(QFile::link(outside("missing"), kept));
    else if (layout == "partial hard link")
        QCOMPARE(::link(QFile::encodeName(outside("partial")).constData(), QFile::encodeName(kept).constData()), 0);
    else if (layout == "partial fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(kept).constData(), 0600), 0);
    else
        QVERIFY(writeBytes(kept, partialBytes));
    if (layout == "record link")
        QVERIFY(QFile::link(outside("record"), record));
    else if (layout != "no record")
        QVERIFY(writeBytes(record, recordBytes));

    PartialFile local(target(), film());
    QVERIFY(local.open(QIODevice::WriteOnly));
    QCOMPARE(local.keptBytes(), goesOnFrom);
    QCOMPARE(local.temporaryPath(), kept);
    // Written to the end and put in place: the target holds the source.
    QCOMPARE(local.write(m_source.mid(int(goesOnFrom))), qint64(SourceBytes - goesOnFrom));
    QVERIFY(local.commit());
    QCOMPARE(readBytes(target()), m_source);
    QCOMPARE(entriesOf(m_root->filePath("in")), QStringList{"film.bin"});
    QCOMPARE(readBytes(outside("precious")), precious);
    QCOMPARE(readBytes(outside("record")), film().record());
    QCOMPARE(readBytes(outside("partial")), m_source.left(KeptBytes));
    QCOMPARE(entriesOf(m_root->filePath("outside")), (QStringList{"partial", "precious", "record"}));
}

void tst_KeptPartial::keptUntilCommittedOrDiscarded()
{
    const QString kept = PartialFile::keptPath(target());
    const QString record = PartialFile::sourceRecordPath(target());
    {
        PartialFile first(target(), film());
        QVERIFY(first.open(QIODevice::WriteOnly));
        QCOMPARE(first.keptBytes(), qint64(0));
        // The record is there before the first byte.
        QCOMPARE(readBytes(record), film().record());
        QCOMPARE(first.write(m_source.left(1000)), qint64(1000));
        first.keep();
    }
    // Kept beyond its object; twice in a row, each time from the end.
    for (int run = 1; run <= 2; ++run) {
        PartialFile again(target(), film());
        QVERIFY(again.open(QIODevice::WriteOnly));
        QCOMPARE(again.keptBytes(), qint64(1000 * run));
        QCOMPARE(again.write(m_source.mid(1000 * run, 1000)), qint64(1000));
        again.keep();
    }
    QCOMPARE(readBytes(kept), m_source.left(3000));

    // Going out of scope unkept is giving up: both go, no target is made.
    {
        PartialFile abandoned(target(), film());
        QVERIFY(abandoned.open(QIODevice::WriteOnly));
        QCOMPARE(abandoned.keptBytes(), qint64(3000));
    }
    QCOMPARE(entriesOf(m_root->filePath("in")), QStringList());

    // A temporary of its own (no version known) is never kept.
    PartialFile unnamed(target());
    QVERIFY(unnamed.open(QIODevice::WriteOnly));
    QVERIFY(unnamed.temporaryPath() != kept);
    unnamed.keep();
    QCOMPARE(entriesOf(m_root->filePath("in")), QStringList());
}

void tst_KeptPartial::aPartialInUseIsLeftToItsRun()
{
    // The same file asked for twice at once: the second run neither appends
    // to nor empties the first one's partial.
    PartialFile first(target(), film());
    QVERIFY(first.open(QIODevice::WriteOnly));
    QCOMPARE(first.write(m_source.left(KeptBytes)), qint64(KeptBytes));
    PartialFile second(target(), film());
    QVERIFY(second.open(QIODevice::WriteOnly));
    QCOMPARE(second.keptBytes(), qint64(0));
    QVERIFY(second.temporaryPath() != first.temporaryPath());
    QCOMPARE(QFileInfo(first.temporaryPath()).size(), qint64(KeptBytes));
    QCOMPARE(second.write(m_source), qint64(SourceBytes));
    QVERIFY(second.commit());
    QCOMPARE(first.write(m_source.mid(KeptBytes)), qint64(SourceBytes - KeptBytes));
    QVERIFY(first.commit());
    QCOMPARE(readBytes(target()), m_source);
    QCOMPARE(entriesOf(m_root->filePath("in")), QStringList{"film.bin"});
}

void tst_KeptPartial::namesStayHiddenInTheTargetsFolder()
{
    const QString folder = m_root->filePath("in");
    const QStringList names{"film.bin", "Film.bin", QString(255, QChar('n')), "..bin", "-", "\xc3\xa9t\xc3\xa9.bin"};
    QSet<QString> seen;
    for (const QString &name : names) {
        const QString target = folder + '/' + name;
        for (const QString &path : {PartialFile::keptPath(target), PartialFile::sourceRecordPath(target)}) {
            const QFileInfo info(path);
            QCOMPARE(info.path(), folder);
            QVERIFY(PartialFile::isTemporaryName(info.fileName()));
            QVERIFY(info.fileName().startsWith('.'));
            // Short whatever the target's name, so it can always be made.
            QVERIFY(info.fileName().size() < 64);
            QVERIFY(!seen.contains(path));
            seen.insert(path);
        }
    }
    // The longest name still gets its partial.
    PartialFile local(folder + '/' + names.at(2), film());
    QVERIFY(local.open(QIODevice::WriteOnly));
    QCOMPARE(local.temporaryPath(), PartialFile::keptPath(folder + '/' + names.at(2)));
}

WIVORA_TEST_GUILESS_MAIN(tst_KeptPartial)
#include "tst_KeptPartial.moc"
