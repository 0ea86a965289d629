// Files opened for peers: modes by rights, ranges, the opener binding, caps,
// idle closing and concurrent use.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <PartialFile.h>

#include <QSignalSpy>
#include <RemoteFile.h>

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
    void replacementTakesThePlaceOnlyWhenWhole_data();
    void replacementTakesThePlaceOnlyWhenWhole();
    void replacementIsNobodyElsesToReach();
    void writeStartsAtMostOneChunkPastTheEnd_data();
    void writeStartsAtMostOneChunkPastTheEnd();
    void replacementTakesWritesInAnyOrder_data();
    void replacementTakesWritesInAnyOrder();
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
    QTest::newRow("reader, replace") << "0" << "p.txt" << OpenMode::Replace << false << false << QByteArray("public");
    QTest::newRow("writer, existing") << "1" << "p.txt" << OpenMode::Default << true << true << QByteArray("public");
    QTest::newRow("writer, missing") << "1" << "new.txt" << OpenMode::Default << true << true << QByteArray("");
    QTest::newRow("writer, read mode") << "1" << "p.txt" << OpenMode::ReadOnly << true << false << QByteArray("public");
    QTest::newRow("writer, read mode missing") << "1" << "new.txt" << OpenMode::ReadOnly << false << false << QByteArray("-");
    // Written to its replacement: the file stays as it was until closed.
    QTest::newRow("writer, replace") << "1" << "p.txt" << OpenMode::Replace << true << true << QByteArray("public");
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
        QCOMPARE(ShareFixture::readFile(local),
                 writable && mode != OpenMode::Replace ? QByteArray("zz") + contentAfter.mid(2) : contentAfter);
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
    id = fixture.engine.openFile(ShareFixture::vpath("pub/up.bin"), "bob", OpenMode::Replace);
    QVERIFY(fixture.engine.writeFile(id, bob, "z"));
    QVERIFY(fixture.engine.closeFile(id, bob));
    QCOMPARE(ShareFixture::readFile(local), QByteArray("z"));
}

// Entries of the folder whose names are those of transfers' temporaries.
static QStringList temporariesIn(const QString &folder)
{
    QStringList found;
    for (const QString &name : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System)) {
        if (PartialFile::isTemporaryName(name))
            found << name;
    }
    return found;
}

void tst_OpenedFiles::replacementTakesThePlaceOnlyWhenWhole_data()
{
    QTest::addColumn<qint64>("expectedSize"); // -1: none named
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QString>("ending");      // "close", "give up", "idle", "logout"
    QTest::addColumn<bool>("target");         // "link": p.txt is a link out of the share
    QTest::addColumn<bool>("replaced");
    QTest::newRow("closed whole") << qint64(9) << QByteArray("new bytes") << "close" << false << true;
    QTest::newRow("closed whole, no size named") << qint64(-1) << QByteArray("new bytes") << "close" << false << true;
    QTest::newRow("closed halfway") << qint64(9) << QByteArray("new") << "close" << false << false;
    QTest::newRow("closed longer than named") << qint64(2) << QByteArray("new bytes") << "close" << false << false;
    QTest::newRow("given up while whole") << qint64(9) << QByteArray("new bytes") << "give up" << false << false;
    QTest::newRow("idle while whole") << qint64(9) << QByteArray("new bytes") << "idle" << false << false;
    QTest::newRow("logout halfway") << qint64(9) << QByteArray("new") << "logout" << false << false;
    QTest::newRow("a link, closed whole") << qint64(9) << QByteArray("new bytes") << "close" << true << true;
}

// An upload over a file: the owner's file is whole, old or new, at every
// moment; a link in its place is replaced, never written through.
void tst_OpenedFiles::replacementTakesThePlaceOnlyWhenWhole()
{
    QFETCH(qint64, expectedSize);
    QFETCH(QByteArray, written);
    QFETCH(QString, ending);
    QFETCH(bool, target);
    QFETCH(bool, replaced);
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "1"});
    const FileOpener bob = FileOpener::peer("bob");
    const QString local = fixture.docs() + "/pub/p.txt";
    if (target) {
        QVERIFY(QFile::remove(local));
        // Inside the share, so the open is allowed; its target is not written.
        QVERIFY(ShareFixture::writeFile(fixture.docs() + "/pub/q.txt", "quiet"));
        QVERIFY(QFile::link(fixture.docs() + "/pub/q.txt", local));
    } else
        QVERIFY(QFile::setPermissions(local, QFile::ReadOwner | QFile::WriteOwner));
    const QByteArray before = ShareFixture::readFile(local);
    const QByteArray outside = fixture.outsideState();

    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob", OpenMode::Replace,
                                               expectedSize);
    QVERIFY(!id.isEmpty());
    QVERIFY(fixture.engine.writeFile(id, bob, written.left(2), 0));
    QVERIFY(fixture.engine.writeFile(id, bob, written.mid(2), 2));
    QCOMPARE(ShareFixture::readFile(local), before);
    QCOMPARE(temporariesIn(fixture.docs() + "/pub").size(), 1);

    if (ending == "close") {
        QCOMPARE(fixture.engine.closeFile(id, bob), replaced);
    } else if (ending == "give up") {
        fixture.engine.giveUpFile(id, bob);
    } else if (ending == "idle") {
        fixture.nowMs += WFtpEngine::MaxIdleMs + 1;
        QCOMPARE(fixture.engine.closeIdleFiles(), 1);
    } else {
        fixture.engine.closeAllFiles();
    }
    QCOMPARE(fixture.engine.openedFileCount(), 0);
    QCOMPARE(ShareFixture::readFile(local), replaced ? written : before);
    QVERIFY(temporariesIn(fixture.docs() + "/pub").isEmpty());
    QCOMPARE(fixture.outsideState(), outside);
    if (target) {
        QVERIFY(!QFileInfo(local).isSymLink());
        QCOMPARE(ShareFixture::readFile(fixture.docs() + "/pub/q.txt"), QByteArray("quiet"));
    }
    if (replaced && !target) {
        // The new file keeps who may read the old one: its owner only.
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
        QCOMPARE(QFileInfo(local).permissions() & others, QFile::Permissions());
    }
}

// A contact with write rights sees no temporary in a listing and cannot
// name one: not to read it, write it, rename or delete it.
void tst_OpenedFiles::replacementIsNobodyElsesToReach()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "1", "1"});
    fixture.grant("carol", "pub", {"1", "1", "1"});
    // Left by an owner that was killed while an upload was on its way.
    QVERIFY(ShareFixture::writeFile(fixture.docs() + "/pub/.wftp-part-left", "half"));
    const QString id = fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob", OpenMode::Replace, 5);
    QVERIFY(fixture.engine.writeFile(id, FileOpener::peer("bob"), "fresh", 0));
    // The leftover went; the upload's own is there.
    const QStringList temporaries = temporariesIn(fixture.docs() + "/pub");
    QCOMPARE(temporaries.size(), 1);
    QVERIFY(temporaries.first() != ".wftp-part-left");
    const QString name = temporaries.first();
    const QString path = ShareFixture::vpath("pub/" + name);

    QStringList listed;
    for (const auto &row : fixture.engine.listDirectory(ShareFixture::vpath("pub"), "carol").getChildren())
        listed << row->gv("Name");
    QCOMPARE(listed, QStringList{"p.txt"});
    for (const QString &user : {"carol", "bob"}) {
        QVERIFY(!fixture.engine.checkFileExist(path, user));
        for (const OpenMode mode : {OpenMode::Default, OpenMode::ReadOnly, OpenMode::Replace})
            QVERIFY(fixture.engine.openFile(path, user, mode).isEmpty());
        QVERIFY(!fixture.engine.renameFile(path, ShareFixture::vpath("pub/taken"), user));
        QVERIFY(!fixture.engine.renameFile(ShareFixture::vpath("pub/p.txt"), path, user));
        QVERIFY(!fixture.engine.deleteFiles({path}, user));
        QVERIFY(!fixture.engine.createDirectory(ShareFixture::vpath("pub"), name, user));
    }
    QVERIFY(fixture.engine.closeFile(id, FileOpener::peer("bob")));
    QCOMPARE(ShareFixture::readFile(fixture.docs() + "/pub/p.txt"), QByteArray("fresh"));
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

void tst_OpenedFiles::replacementTakesWritesInAnyOrder_data()
{
    // Chunk numbers in the order their writes arrive; the file has four.
    QTest::addColumn<QList<int>>("order");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("in order") << QList<int>{0, 1, 2, 3} << true;
    QTest::newRow("backwards") << QList<int>{3, 2, 1, 0} << true;
    QTest::newRow("one overtaken twice") << QList<int>{0, 2, 3, 1} << true;
    QTest::newRow("the same write twice") << QList<int>{0, 2, 2, 1, 3} << true;
    // The held writes never had the bytes before them.
    QTest::newRow("a gap") << QList<int>{0, 2, 3} << false;
}

void tst_OpenedFiles::replacementTakesWritesInAnyOrder()
{
    QFETCH(QList<int>, order);
    QFETCH(bool, replaced);
    const int chunk = int(WFtpEngine::MaxPeerChunkBytes);
    QByteArray whole;
    for (int i = 0; i < 4; ++i)
        whole += QByteArray(chunk, char('a' + i));
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "1"});
    const FileOpener bob = FileOpener::peer("bob");
    const QString id =
        fixture.engine.openFile(ShareFixture::vpath("pub/p.txt"), "bob", OpenMode::Replace, whole.size());
    QVERIFY(!id.isEmpty());
    for (const int i : order)
        QVERIFY(fixture.engine.writeFile(id, bob, whole.mid(i * chunk, chunk), qint64(i) * chunk));
    QCOMPARE(fixture.engine.closeFile(id, bob), replaced);
    QCOMPARE(ShareFixture::readFile(fixture.docs() + "/pub/p.txt"), replaced ? whole : QByteArray("public"));
    QVERIFY(temporariesIn(fixture.docs() + "/pub").isEmpty());

    // Held writes are bounded: how far ahead, and how much.
    const QString bounded = fixture.engine.openFile(ShareFixture::vpath("pub/q.bin"), "bob", OpenMode::Replace, -1);
    QVERIFY(!bounded.isEmpty());
    QVERIFY(!fixture.engine.writeFile(bounded, bob, "x", RemoteFile::MaxHeldBytes + 1));
    const int fit = int(RemoteFile::MaxHeldBytes / chunk);
    for (int at = 1; at <= fit + 1; ++at)
        QCOMPARE(fixture.engine.writeFile(bounded, bob, whole.left(chunk), at), at <= fit);
    QVERIFY(!fixture.engine.closeFile(bounded, bob));
    QVERIFY(!QFile::exists(fixture.docs() + "/pub/q.bin"));
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
