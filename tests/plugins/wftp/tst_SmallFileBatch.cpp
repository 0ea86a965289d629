// Small files of one folder in one request: what the owner serves, what it
// leaves to the one-by-one road, what it refuses outright, and how the asker
// checks the reply.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <CommandParser.h>
#include <SmallFileBatch.h>
#include <WFtpProtocol.h>

#include <QSignalSpy>
#include <QtTest>

#include <ctime>
#include <sys/stat.h>

using namespace WFtpProtocol;

namespace {
const QString Pub = QStringLiteral("vls/alice/docs/pub");
}

class tst_SmallFileBatch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void servesWholeFilesInOrder();
    void announcesTheBatchAsOneOpenedFile();
    void leavesOthersToTheirOwnRequests_data();
    void leavesOthersToTheirOwnRequests();
    void refusesTheWholeRequest_data();
    void refusesTheWholeRequest();
    void keepsTheReplyWithinItsBudget();
    void judgesRightsAtEachRequest();
    void judgesExpiryAsAnInstant_data();
    void judgesExpiryAsAnInstant();
    void askerRejectsDamagedReplies_data();
    void askerRejectsDamagedReplies();

private:
    KvrConfig ask(const QString &folder, const QStringList &names, const QString &sender = "bob");
    QVector<SmallFileBatch::File> served(const QString &folder, const QStringList &names);

    std::unique_ptr<ShareFixture> m_files;
    std::unique_ptr<CommandParser> m_parser;
    QByteArray m_savedZone;
};

void tst_SmallFileBatch::init()
{
    m_files = std::make_unique<ShareFixture>();
    m_parser = std::make_unique<CommandParser>();
    m_parser->engine()->setAccountProvider(m_files->provider);
    m_parser->engine()->setClock([this] { return m_files->nowMs.load(); });
    m_files->engine.addPermittedUser(ShareFixture::record("bob", {"1", "0", "0", "0"}), m_files->disc, "pub");
    m_savedZone = qgetenv("TZ");
}

void tst_SmallFileBatch::cleanup()
{
    if (m_savedZone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", m_savedZone);
    tzset();
}

KvrConfig tst_SmallFileBatch::ask(const QString &folder, const QStringList &names, const QString &sender)
{
    KvrConfig request;
    request.SetID();
    request.sv(KeyCommand, ReadFiles);
    request.sv(KeyPath, folder);
    request.SetValue(KeyFiles, SmallFileBatch::encodeNames(names));
    request.sv(KeySender, sender);
    request.sv(KeyConnection, "1");
    request.sv(KeyConnectionId, "link-7");
    return m_parser->PerformCommand(request);
}

QVector<SmallFileBatch::File> tst_SmallFileBatch::served(const QString &folder, const QStringList &names)
{
    QVector<SmallFileBatch::File> files;
    const KvrConfig reply = ask(folder, names);
    if (!SmallFileBatch::readReply(reply, names, &files))
        return {};
    return files;
}

void tst_SmallFileBatch::servesWholeFilesInOrder()
{
    const QString pub = m_files->docs() + "/pub";
    const QByteArray largest(int(SmallFileBatch::MaxFileBytes), 'L');
    QVERIFY(ShareFixture::writeFile(pub + "/largest.bin", largest));
    QVERIFY(ShareFixture::writeFile(pub + "/empty", QByteArray()));
    QVERIFY(ShareFixture::writeFile(pub + "/name with | and :", "odd"));
    const QStringList names{"p.txt", "largest.bin", "empty", "name with | and :"};
    const QVector<SmallFileBatch::File> files = served(Pub, names);
    QCOMPARE(files.size(), names.size());
    const QList<QByteArray> expected{"public", largest, QByteArray(), "odd"};
    for (int i = 0; i < names.size(); ++i) {
        QVERIFY2(files.at(i).served, qPrintable(names.at(i)));
        QCOMPARE(files.at(i).name, names.at(i));
        QCOMPARE(files.at(i).data, expected.at(i));
        QCOMPARE(files.at(i).size, qint64(expected.at(i).size()));
        QCOMPARE(files.at(i).modifiedMs / 1000, QFileInfo(pub + "/" + names.at(i)).lastModified().toSecsSinceEpoch());
    }
}

void tst_SmallFileBatch::announcesTheBatchAsOneOpenedFile()
{
    WFtpEngine &engine = *m_parser->engine();
    QSignalSpy opened(&engine, &WFtpEngine::signalFileOpened);
    QSignalSpy read(&engine, &WFtpEngine::signalFileReadProgress);
    QSignalSpy closed(&engine, &WFtpEngine::signalFileClosed);
    QCOMPARE(served(Pub, {"p.txt", "missing", "p.txt"}).size(), 3);
    QCOMPARE(opened.size(), 1);
    const QString id = opened.first().at(0).toString();
    QCOMPARE(opened.first().at(1).toString(), Pub);
    QCOMPARE(opened.first().at(2).toString(), QString("bob"));
    QCOMPARE(read.size(), 1);
    QCOMPARE(read.first().at(0).toString(), id);
    QCOMPARE(read.first().at(1).toLongLong(), qint64(2 * 6));
    QCOMPARE(closed.size(), 1);
    QCOMPARE(closed.first().at(0).toString(), id);
    // A refused request opens nothing.
    ask(Pub, {"p.txt"}, "carol");
    QCOMPARE(opened.size(), 1);
}

void tst_SmallFileBatch::leavesOthersToTheirOwnRequests_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("link to a file of the share") << "to-p";
    QTest::newRow("link out of the share") << "to-secret";
    QTest::newRow("dangling link") << "dangling";
    QTest::newRow("fifo") << "fifo";
    QTest::newRow("folder") << "sub";
    QTest::newRow("missing") << "missing.txt";
    QTest::newRow("one byte over the cap") << "large.bin";
    QTest::newRow("upload temporary") << ".wftp-part-1234";
    QTest::newRow("parent") << "..";
    QTest::newRow("self") << ".";
    QTest::newRow("path below") << "sub/inner.txt";
    QTest::newRow("path out") << "../a.txt";
}

void tst_SmallFileBatch::leavesOthersToTheirOwnRequests()
{
    QFETCH(QString, name);
    const QString pub = m_files->docs() + "/pub";
    QVERIFY(QFile::link(pub + "/p.txt", pub + "/to-p"));
    QVERIFY(QFile::link(m_files->outside() + "/secret.txt", pub + "/to-secret"));
    QVERIFY(QFile::link(pub + "/nothing", pub + "/dangling"));
    QCOMPARE(::mkfifo(QFile::encodeName(pub + "/fifo").constData(), 0600), 0);
    QVERIFY(QDir().mkpath(pub + "/sub"));
    QVERIFY(ShareFixture::writeFile(pub + "/sub/inner.txt", "inner"));
    QVERIFY(ShareFixture::writeFile(pub + "/large.bin", QByteArray(int(SmallFileBatch::MaxFileBytes) + 1, 'x')));
    QVERIFY(ShareFixture::writeFile(pub + "/.wftp-part-1234", "half"));

    // Between two plain files, so the order of the answers shows too.
    const QVector<SmallFileBatch::File> files = served(Pub, {"p.txt", name, "p.txt"});
    QCOMPARE(files.size(), 3);
    QVERIFY(files.at(0).served && files.at(2).served);
    QCOMPARE(files.at(2).data, QByteArray("public"));
    QVERIFY(!files.at(1).served);
    QVERIFY(files.at(1).data.isEmpty());
}

void tst_SmallFileBatch::refusesTheWholeRequest_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("names"); // as sent
    QTest::addColumn<QString>("sender");
    const QByteArray one = SmallFileBatch::encodeNames({"p.txt"});
    QStringList tooMany;
    for (int i = 0; i <= SmallFileBatch::MaxFiles; ++i)
        tooMany << "p.txt";
    QTest::newRow("no right on the folder") << Pub << one << "carol";
    QTest::newRow("a folder not granted") << "vls/alice/docs/root" << one << "bob";
    QTest::newRow("out through the parent") << "vls/alice/docs/pub/.." << one << "bob";
    QTest::newRow("folder linked out of the share") << "vls/alice/docs/pub/away" << SmallFileBatch::encodeNames({"secret.txt"}) << "bob";
    QTest::newRow("a file as the folder") << "vls/alice/docs/pub/p.txt" << one << "bob";
    QTest::newRow("another owner") << "vls/mallory/docs/pub" << one << "bob";
    QTest::newRow("too many names") << Pub << SmallFileBatch::encodeNames(tooMany) << "bob";
    QTest::newRow("no names") << Pub << QByteArray() << "bob";
    QTest::newRow("length past the end") << Pub << QByteArray("9:p.txt") << "bob";
    QTest::newRow("length not a number") << Pub << QByteArray("x:p.txt") << "bob";
    QTest::newRow("negative length") << Pub << QByteArray("-5:p.txt") << "bob";
    QTest::newRow("zero length") << Pub << QByteArray("0:") << "bob";
    QTest::newRow("name over 255 bytes") << Pub << QByteArray("256:" + QByteArray(256, 'a')) << "bob";
    QTest::newRow("no separator") << Pub << QByteArray("5p.txt") << "bob";
}

void tst_SmallFileBatch::refusesTheWholeRequest()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, names);
    QFETCH(QString, sender);
    QVERIFY(QFile::link(m_files->outside(), m_files->docs() + "/pub/away"));
    KvrConfig request;
    request.SetID();
    request.sv(KeyCommand, ReadFiles);
    request.sv(KeyPath, folder);
    request.SetValue(KeyFiles, names);
    request.sv(KeySender, sender);
    request.sv(KeyConnection, "1");
    request.sv(KeyConnectionId, "link-7");
    const KvrConfig reply = m_parser->PerformCommand(request);
    QCOMPARE(reply.gv(KeyCommand), ReadFiles + ReplySuffix);
    QVERIFY(!reply.checkResult());
    QVERIFY(!reply.GetValue(KeyData).contains("secret"));
    QCOMPARE(m_parser->engine()->openedFileCount(), 0);
}

void tst_SmallFileBatch::keepsTheReplyWithinItsBudget()
{
    const QString pub = m_files->docs() + "/pub";
    const int fit = int(SmallFileBatch::MaxReplyBytes / SmallFileBatch::MaxFileBytes);
    QStringList names;
    for (int i = 0; i < fit + 3; ++i) {
        names << QString("f%1").arg(i, 3, 10, QChar('0'));
        QVERIFY(ShareFixture::writeFile(pub + "/" + names.last(), QByteArray(int(SmallFileBatch::MaxFileBytes), 'a' + i % 26)));
    }
    const KvrConfig reply = ask(Pub, names);
    QVERIFY(reply.GetValue(KeyData).size() <= SmallFileBatch::MaxReplyBytes);
    QVector<SmallFileBatch::File> files;
    QVERIFY(SmallFileBatch::readReply(reply, names, &files));
    for (int i = 0; i < files.size(); ++i) {
        QCOMPARE(files.at(i).served, i < fit);
        if (files.at(i).served)
            QCOMPARE(files.at(i).data, QByteArray(int(SmallFileBatch::MaxFileBytes), 'a' + i % 26));
    }
}

void tst_SmallFileBatch::judgesRightsAtEachRequest()
{
    QCOMPARE(served(Pub, {"p.txt"}).size(), 1);
    QVERIFY(m_files->engine.deletePermittedUser("bob", m_files->disc, "pub"));
    QVERIFY(!ask(Pub, {"p.txt"}).checkResult());
    // A grant to every user counts like one's own.
    QVERIFY(m_files->engine.addPermittedUser(ShareFixture::record("allusers", {"1", "0", "0", "0"}), m_files->disc, "pub"));
    QCOMPARE(served(Pub, {"p.txt"}).size(), 1);
}

void tst_SmallFileBatch::judgesExpiryAsAnInstant_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<bool>("utcText"); // "validTo" written in UTC ("Z") rather than local time
    QTest::addColumn<int>("endsInSeconds");
    QTest::addColumn<bool>("served");
    for (const char *zone : {"UTC0", "EAST-14", "WEST+12"}) {
        for (const bool utc : {false, true}) {
            const QByteArray tag = QByteArray(zone) + (utc ? " utc text" : " local text");
            QTest::newRow(tag + ", ends in an hour") << QByteArray(zone) << utc << 3600 << true;
            QTest::newRow(tag + ", ended an hour ago") << QByteArray(zone) << utc << -3600 << false;
        }
    }
}

void tst_SmallFileBatch::judgesExpiryAsAnInstant()
{
    QFETCH(QByteArray, zone);
    QFETCH(bool, utcText);
    QFETCH(int, endsInSeconds);
    QFETCH(bool, served);
    qputenv("TZ", zone);
    tzset();
    QVERIFY(m_files->engine.deletePermittedUser("bob", m_files->disc, "pub"));
    const QDateTime end = QDateTime::fromMSecsSinceEpoch(m_files->nowMs.load()).addSecs(endsInSeconds);
    auto record = ShareFixture::record("bob", {"1", "0", "0", "0"}, "0", utcText ? end.toUTC() : end.toLocalTime());
    QCOMPARE(record->gv("validTo").endsWith('Z'), utcText);
    QVERIFY(m_files->engine.addPermittedUser(record, m_files->disc, "pub"));
    QCOMPARE(ask(Pub, {"p.txt"}).checkResult(), served);
    QCOMPARE(m_files->engine.getSharedDiscs("bob").contains("vls/alice/docs/pub"), served);
}

void tst_SmallFileBatch::askerRejectsDamagedReplies_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("accepted");
    // Asked for two names.
    QTest::newRow("both served") << QByteArray("2 5 2\n1 5 1\n") << QByteArray("abc") << true;
    QTest::newRow("one not served") << QByteArray("-1 -1 -1\n3 5 3\n") << QByteArray("abc") << true;
    QTest::newRow("a line short") << QByteArray("3 5 3\n") << QByteArray("abc") << false;
    QTest::newRow("a line over") << QByteArray("1 5 1\n1 5 1\n1 5 1\n") << QByteArray("abc") << false;
    QTest::newRow("no last newline") << QByteArray("2 5 2\n1 5 1") << QByteArray("abc") << false;
    QTest::newRow("bytes left over") << QByteArray("1 5 1\n1 5 1\n") << QByteArray("abc") << false;
    QTest::newRow("bytes missing") << QByteArray("2 5 2\n2 5 2\n") << QByteArray("abc") << false;
    QTest::newRow("size unlike length") << QByteArray("2 5 1\n2 5 2\n") << QByteArray("abc") << false;
    QTest::newRow("over the cap") << QByteArray("65537 5 65537\n-1 -1 -1\n") << QByteArray(65537, 'x') << false;
    QTest::newRow("half not served") << QByteArray("-1 5 -1\n3 5 3\n") << QByteArray("abc") << false;
    QTest::newRow("not a number") << QByteArray("2 x 2\n1 5 1\n") << QByteArray("abc") << false;
    QTest::newRow("plus sign") << QByteArray("+2 5 2\n1 5 1\n") << QByteArray("abc") << false;
    QTest::newRow("extra field") << QByteArray("2 5 2 0\n1 5 1\n") << QByteArray("abc") << false;
    QTest::newRow("huge length") << QByteArray("2 5 2\n9223372036854775807 5 9223372036854775807\n")
                                 << QByteArray("abc") << false;
}

void tst_SmallFileBatch::askerRejectsDamagedReplies()
{
    QFETCH(QByteArray, lines);
    QFETCH(QByteArray, data);
    QFETCH(bool, accepted);
    KvrConfig reply;
    reply.SetResult(true);
    reply.SetValue(KeyFiles, lines);
    reply.SetValue(KeyData, data);
    QVector<SmallFileBatch::File> files;
    QCOMPARE(SmallFileBatch::readReply(reply, {"a", "b"}, &files), accepted);
    if (accepted) {
        QByteArray joined;
        for (const auto &file : files)
            joined += file.data;
        QCOMPARE(joined, data);
    }
}

WIVORA_TEST_GUILESS_MAIN(tst_SmallFileBatch)
#include "tst_SmallFileBatch.moc"
