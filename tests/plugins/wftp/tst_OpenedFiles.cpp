// Files opened for peers: modes by rights, ranges, the opener binding, caps,
// idle closing and concurrent use.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <thread>
#include <sys/resource.h>

using OpenMode = WFtpEngine::OpenMode;
Q_DECLARE_METATYPE(WFtpEngine::OpenMode)

class tst_OpenedFiles : public QObject
{
    Q_OBJECT

private slots:
    void openModes_data();
    void openModes();
    void readOnlyFileServesReads();
    void readRanges_data();
    void readRanges();
    void writesAtOffsetsAndTruncates();
    void writeStartsAtMostOneChunkPastTheEnd_data();
    void writeStartsAtMostOneChunkPastTheEnd();
    void filesAnswerOnlyToTheirOpener();
    void revokedGrantEndsAccessToOpenFiles();
    void opensAreCapped();
    void idleFilesClose();
    void concurrentReadsGetTheirOwnBytes();
    void shortWriteReportsFalse();
};

void tst_OpenedFiles::openModes_data()
{
    QTest::addColumn<QString>("write");  // bob's write flag on "pub"
    QTest::addColumn<QString>("file");   // under pub
    QTest::addColumn<OpenMode>("mode");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QByteArray>("contentAfter"); // "-" when the file must not exist
    QTest::newRow("reader, existing") << "0" << "p.txt" << OpenMode::Default << true << false << QByteArray("public");
    QTest::newRow("reader, missing") << "0" << "new.txt" << OpenMode::Default << false << false << QByteArray("-");
    QTest::newRow("reader, truncate") << "0" << "p.txt" << OpenMode::Truncate << false << false << QByteArray("public");
    QTest::newRow("writer, existing") << "1" << "p.txt" << OpenMode::Default << true << true << QByteArray("public");
    QTest::newRow("writer, missing") << "1" << "new.txt" << OpenMode::Default << true << true << QByteArray("");
    QTest::newRow("writer, read mode") << "1" << "p.txt" << OpenMode::ReadOnly << true << false << QByteArray("public");
    QTest::newRow("writer, read mode missing") << "1" << "new.txt" << OpenMode::ReadOnly << false << false << QByteArray("-");
    QTest::newRow("writer, truncate") << "1" << "p.txt" << OpenMode::Truncate << true << true << QByteArray("");
    QTest::newRow("folder") << "1" << "" << OpenMode::Default << false << false << QByteArray("-");
    QTest::newRow("escape") << "1" << "../../outside/new.txt" << OpenMode::Default << false << false << QByteArray("-");
}

void tst_OpenedFiles::openModes()
{
    QFETCH(QString, write);
    QFETCH(QString, file);
    QFETCH(OpenMode, mode);
    QFETCH(bool, opens);
    QFETCH(bool, writable);
    QFETCH(QByteArray, contentAfter);
    ShareFixture fixture;
    const QByteArray writeFlag = write.toLatin1();
    fixture.grant("bob", "pub", {"1", writeFlag.constData()});
    const QByteArray before = fixture.outsideState();
    QSignalSpy opened(&fixture.engine, &WFtpEngine::signalFileOpened);

    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/" + file), "bob", mode);
    QCOMPARE(!id.isEmpty(), opens);
    QCOMPARE(opened.count(), opens ? 1 : 0);
    if (opens) {
        QVERIFY(!QUuid::fromString(id).isNull());
        QCOMPARE(fixture.engine.writeFile(id, FileOpener::peer("bob"), "zz", 0), writable);
    }
    const QString local = fixture.docs() + "/pub/" + file;
    if (contentAfter == "-")
        QVERIFY(file.isEmpty() || !QFileInfo(local).isFile());
    else
        QCOMPARE(ShareFixture::readFile(local), writable ? QByteArray("zz") + contentAfter.mid(2) : contentAfter);
    QCOMPARE(fixture.outsideState(), before);
}

void tst_OpenedFiles::readOnlyFileServesReads()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1"});
    QVERIFY(QFile::setPermissions(fixture.docs() + "/pub/p.txt", QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob");
    QVERIFY(!id.isEmpty());
    QCOMPARE(fixture.engine.readFile(id, FileOpener::peer("bob"), 0, 100), QByteArray("public"));
    QVERIFY(!fixture.engine.writeFile(id, FileOpener::peer("bob"), "x"));
    QCOMPARE(ShareFixture::readFile(fixture.docs() + "/pub/p.txt"), QByteArray("public"));
}

void tst_OpenedFiles::readRanges_data()
{
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("count");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("whole") << qint64(0) << qint64(6) << QByteArray("public");
    QTest::newRow("tail") << qint64(3) << qint64(100) << QByteArray("lic");
    QTest::newRow("at the end") << qint64(6) << qint64(10) << QByteArray();
    QTest::newRow("far past the end") << (qint64(1) << 32) << qint64(10) << QByteArray();
    QTest::newRow("negative from") << qint64(-1) << qint64(3) << QByteArray();
    QTest::newRow("negative count") << qint64(0) << qint64(-3) << QByteArray();
    QTest::newRow("huge count") << qint64(0) << (qint64(1) << 40) << QByteArray();
    QTest::newRow("just over the cap") << qint64(0) << WFtpEngine::MaxPeerReadBytes + 1 << QByteArray();
    QTest::newRow("at the cap") << qint64(0) << WFtpEngine::MaxPeerReadBytes << QByteArray("public");
}

void tst_OpenedFiles::readRanges()
{
    QFETCH(qint64, from);
    QFETCH(qint64, count);
    QFETCH(QByteArray, data);
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1"});
    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob");
    QSignalSpy progress(&fixture.engine, &WFtpEngine::signalFileReadProgress);
    QCOMPARE(fixture.engine.readFile(id, FileOpener::peer("bob"), from, count), data);
    if (from >= 0 && count >= 0 && count <= WFtpEngine::MaxPeerReadBytes) {
        QCOMPARE(progress.count(), 1);
        QCOMPARE(progress.at(0).at(1).toLongLong(), qint64(data.size()));
    }
}

void tst_OpenedFiles::writesAtOffsetsAndTruncates()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "1"});
    const FileOpener bob = FileOpener::peer("bob");
    const QString local = fixture.docs() + "/pub/up.bin";
    QString id = fixture.engine.openFile(ShareFixture::vpath("pub/up.bin"), "bob");
    QVERIFY(fixture.engine.writeFile(id, bob, "abc"));
    QVERIFY(fixture.engine.writeFile(id, bob, "def")); // continues where the last ended
    QVERIFY(fixture.engine.closeFile(id, bob));
    QCOMPARE(ShareFixture::readFile(local), QByteArray("abcdef"));

    // A resumed upload reopens and writes at its own offset.
    id = fixture.engine.openFile(ShareFixture::vpath("pub/up.bin"), "bob");
    QVERIFY(fixture.engine.writeFile(id, bob, "XY", 4));
    QCOMPARE(fixture.engine.getFileSize(id, bob), qint64(6));
    QVERIFY(fixture.engine.closeFile(id, bob));
    QCOMPARE(ShareFixture::readFile(local), QByteArray("abcdXY"));

    // Overwriting a longer file leaves no old tail.
    id = fixture.engine.openFile(ShareFixture::vpath("pub/up.bin"), "bob", OpenMode::Truncate);
    QVERIFY(fixture.engine.writeFile(id, bob, "z"));
    QVERIFY(fixture.engine.closeFile(id, bob));
    QCOMPARE(ShareFixture::readFile(local), QByteArray("z"));
}

void tst_OpenedFiles::writeStartsAtMostOneChunkPastTheEnd_data()
{
    // p.txt holds "public": its end is at 6.
    QTest::addColumn<qint64>("from");
    QTest::addColumn<bool>("written");
    QTest::newRow("inside") << qint64(2) << true;
    QTest::newRow("at the end") << qint64(6) << true;
    QTest::newRow("one chunk past the end") << 6 + WFtpEngine::MaxPeerChunkBytes << true;
    QTest::newRow("a byte more") << 6 + WFtpEngine::MaxPeerChunkBytes + 1 << false;
    QTest::newRow("at 2^40") << (qint64(1) << 40) << false;
}

void tst_OpenedFiles::writeStartsAtMostOneChunkPastTheEnd()
{
    QFETCH(qint64, from);
    QFETCH(bool, written);
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "1"});
    const FileOpener bob = FileOpener::peer("bob");
    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob");
    QVERIFY(!id.isEmpty());
    QSignalSpy progress(&fixture.engine, &WFtpEngine::signalFileWriteProgress);
    QCOMPARE(fixture.engine.writeFile(id, bob, "Z", from), written);
    QCOMPARE(progress.count(), written ? 1 : 0);
    QVERIFY(fixture.engine.closeFile(id, bob));
    const QByteArray content = ShareFixture::readFile(fixture.docs() + "/pub/p.txt");
    if (!written) {
        QCOMPARE(content, QByteArray("public"));
        return;
    }
    const qint64 size = qMax(qint64(6), from + 1);
    QCOMPARE(content.size(), size);
    QCOMPARE(content.at(from), 'Z');
    // The next chunk of an upload continues from there.
    const QString again = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob");
    QVERIFY(fixture.engine.writeFile(again, bob, "more", size));
    QCOMPARE(fixture.engine.getFileSize(again, bob), size + 4);
    QVERIFY(fixture.engine.closeFile(again, bob));
}

void tst_OpenedFiles::filesAnswerOnlyToTheirOpener()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "1"});
    fixture.grant("carol", "pub", {"1", "1"});
    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob");
    QVERIFY(!id.isEmpty());
    for (const FileOpener &other : {FileOpener::peer("carol"), FileOpener::web(), FileOpener::peer("alice")}) {
        QVERIFY(fixture.engine.readFile(id, other, 0, 10).isEmpty());
        QVERIFY(!fixture.engine.writeFile(id, other, "x", 0));
        QCOMPARE(fixture.engine.getFileSize(id, other), qint64(-1));
        QVERIFY(!fixture.engine.isFileOpen(id, other));
        QVERIFY(!fixture.engine.closeFile(id, other));
    }
    QVERIFY(fixture.engine.isFileOpen(id, FileOpener::peer("bob")));
    QCOMPARE(ShareFixture::readFile(fixture.docs() + "/pub/p.txt"), QByteArray("public"));
    QSignalSpy closed(&fixture.engine, &WFtpEngine::signalFileClosed);
    QVERIFY(fixture.engine.closeFile(id, FileOpener::peer("bob")));
    QCOMPARE(closed.count(), 1);
    QVERIFY(!fixture.engine.closeFile(id, FileOpener::peer("bob")));
    QCOMPARE(closed.count(), 1);
}

void tst_OpenedFiles::revokedGrantEndsAccessToOpenFiles()
{
    ShareFixture fixture;
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(fixture.nowMs);
    fixture.engine.addPermittedUser(ShareFixture::record("bob", {"1", "1"}, "0", now.addSecs(30)), fixture.disc, "pub");
    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob");
    QCOMPARE(fixture.engine.readFile(id, FileOpener::peer("bob"), 0, 3), QByteArray("pub"));
    fixture.nowMs += 31 * 1000;
    QVERIFY(fixture.engine.readFile(id, FileOpener::peer("bob"), 0, 3).isEmpty());
    QVERIFY(!fixture.engine.writeFile(id, FileOpener::peer("bob"), "x", 0));
    // Letting go needs no right.
    QVERIFY(fixture.engine.closeFile(id, FileOpener::peer("bob")));
}

void tst_OpenedFiles::opensAreCapped()
{
    ShareFixture fixture;
    fixture.grant("allusers", "pub", {"1"});
    QStringList ids;
    for (int i = 0; i < OpenedFileTable::MaxPerOpener; ++i)
        ids << fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob");
    QVERIFY(!ids.contains(QString()));
    QVERIFY(fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob").isEmpty());
    for (const QString &id : ids)
        QCOMPARE(fixture.engine.readFile(id, FileOpener::peer("bob"), 0, 1), QByteArray("p"));

    // 10 000 opens from many users stop at the total cap.
    int opened = ids.size();
    for (int i = 0; i < 10000; ++i) {
        if (!fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), QStringLiteral("u%1").arg(i % 400)).isEmpty())
            ++opened;
    }
    QCOMPARE(opened, OpenedFileTable::MaxTotal);
    QCOMPARE(fixture.engine.openedFileCount(), OpenedFileTable::MaxTotal);
    // Closing one makes room again, and so do files left idle.
    QVERIFY(fixture.engine.closeFile(ids.first(), FileOpener::peer("bob")));
    QVERIFY(!fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob").isEmpty());
    QVERIFY(fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "carol").isEmpty());
    fixture.nowMs += WFtpEngine::MaxIdleMs + 1000;
    QVERIFY(!fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "carol").isEmpty());
    QCOMPARE(fixture.engine.openedFileCount(), 1);
}

void tst_OpenedFiles::idleFilesClose()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1"});
    const QString idle = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob");
    const QString busy = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob");
    QSignalSpy closed(&fixture.engine, &WFtpEngine::signalFileClosed);
    for (int i = 0; i < 2; ++i) {
        fixture.nowMs += 50 * 1000;
        QVERIFY(!fixture.engine.readFile(busy, FileOpener::peer("bob"), 0, 1).isEmpty());
        fixture.engine.closeIdleFiles();
    }
    QCOMPARE(closed.count(), 1);
    QCOMPARE(closed.at(0).at(0).toString(), idle);
    QVERIFY(!fixture.engine.isFileOpen(idle, FileOpener::peer("bob")));
    QVERIFY(fixture.engine.isFileOpen(busy, FileOpener::peer("bob")));

    fixture.engine.closeAllFiles();
    QCOMPARE(closed.count(), 2);
    QCOMPARE(fixture.engine.openedFileCount(), 0);
}

void tst_OpenedFiles::concurrentReadsGetTheirOwnBytes()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1"});
    QByteArray content(4 * 256 * 1024, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 + i / 251);
    QVERIFY(ShareFixture::writeFile(fixture.docs() + "/pub/big.bin", content));
    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/big.bin"), "bob");
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int part = 0; part < 4; ++part) {
        readers.emplace_back([&, part] {
            const qint64 chunk = 256 * 1024;
            for (int round = 0; round < 50; ++round) {
                const qint64 from = part * chunk + (round * 997) % (chunk - 4096);
                if (fixture.engine.readFile(id, FileOpener::peer("bob"), from, 4096) != content.mid(int(from), 4096))
                    ++wrong;
            }
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    QCOMPARE(wrong.load(), 0);
}

void tst_OpenedFiles::shortWriteReportsFalse()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "1"});
    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/full.bin"), "bob");
    QVERIFY(!id.isEmpty());
    // The process may write files of at most 64 KiB: the disc is "full".
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = fixture.engine.writeFile(id, FileOpener::peer("bob"), QByteArray(128 * 1024, 'x'), 0);
    ::setrlimit(RLIMIT_FSIZE, &old);
    QVERIFY(!written);
    QVERIFY(fixture.engine.writeFile(id, FileOpener::peer("bob"), QByteArray(1024, 'y'), 0));
}

WIVORA_TEST_GUILESS_MAIN(tst_OpenedFiles)
#include "tst_OpenedFiles.moc"
