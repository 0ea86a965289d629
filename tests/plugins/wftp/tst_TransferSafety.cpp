// What a transfer and a delete between two real clients of a real
// wivora-server leave on disc: an upload replaces the owner's file only
// when whole, a download never writes through a link in its folder, a
// transfer outlasts an owner that stops answering, and a folder delete
// keeps the hidden entries it cannot show.
#include "QtTestSuite.h"
#include "E2eFixture.h"
#include "WFtpOperations.h"
#include "ShareFixture.h"

#include <FileWriter.h>
#include <PartialFile.h>
#include <ReadWindow.h>
#include <WFtpProtocol.h>

#include <QtTest>

#include <csignal>

namespace {

const QString Disc = QStringLiteral("vls/bob/docs/root");
constexpr int TransferWaitMs = 120000;
// Reconnect waits of the clients, shortened so an outage several times
// longer than a minute of 2 s waits fits in seconds.
constexpr int RetryDelayMs = 100;

// Every entry under folder: relative name -> content ("->" + target for a
// link, "dir" for a folder).
QMap<QString, QByteArray> safetyTreeOf(const QString &folder)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        entries.insert(path.mid(folder.size()),
                       info.isSymLink() ? "->" + info.symLinkTarget().toUtf8()
                       : info.isDir()   ? QByteArray("dir")
                                        : ShareFixture::readFile(path));
    }
    return entries;
}

} // namespace

class tst_TransferSafety : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void uploadOverAFile_data();
    void uploadOverAFile();
    void downloadBesideLinks_data();
    void downloadBesideLinks();
    void downloadOutlastsAnOwnerThatStopsAnswering();
    void folderDeleteKeepsHiddenEntries();

private:
    QString startTransfer(const QString &files, const QString &target, const QString &base);
    KvrConfig transferState(const QString &id);
    // Waits until the transfer's worker returned; its last state.
    KvrConfig waitForTransfer(const QString &id);
    void freezeBob(bool frozen);

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice, m_bob;
    QTemporaryDir m_files;
};

QString tst_TransferSafety::startTransfer(const QString &files, const QString &target, const QString &base)
{
    KvrConfig request;
    request.sv("files", files);
    request.sv("target", target);
    request.sv("base", base);
    return invokeWFtp(*m_alice, "startTransfer", request).gv("id");
}

KvrConfig tst_TransferSafety::transferState(const QString &id)
{
    KvrConfig asking;
    asking.sv("id", id);
    return invokeWFtp(*m_alice, "transferState", asking);
}

KvrConfig tst_TransferSafety::waitForTransfer(const QString &id)
{
    QDeadlineTimer deadline(TransferWaitMs);
    KvrConfig state = transferState(id);
    // A stopped transfer leaves the list once returned: no state at all.
    while (state.gv("returned") == "false" && !deadline.hasExpired()) {
        QThread::msleep(20);
        state = transferState(id);
    }
    return state;
}

void tst_TransferSafety::freezeBob(bool frozen)
{
    QVERIFY(::kill(pid_t(m_bob->processId()), frozen ? SIGSTOP : SIGCONT) == 0);
}

void tst_TransferSafety::initTestCase()
{
    QVERIFY(m_files.isValid());
    for (const char *folder : {"docs/up", "mine", "outside"})
        QVERIFY(QDir().mkpath(m_files.filePath(folder)));
    m_fixture.clientEnvironment.insert("WIVORA_TRANSFER_RETRY_MS", QString::number(RetryDelayMs));
    QVERIFY(m_fixture.startService({"alice", "bob"}, {{"alice", "bob"}}));
    m_alice = m_fixture.client("alice");
    m_bob = m_fixture.client("bob");
    QVERIFY(startWithWFtp({m_alice.get(), m_bob.get()}));
    QCOMPARE(shareFolder(*m_bob, m_files.filePath("docs"), "alice"), Disc);
}

void tst_TransferSafety::cleanupTestCase()
{
    // Never leave a stopped client behind a failed check.
    if (m_bob && m_bob->isRunning())
        ::kill(pid_t(m_bob->processId()), SIGCONT);
}

void tst_TransferSafety::uploadOverAFile_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("stopHalfway");
    // Large enough that a fast link has not sent it all by the time the
    // test has seen the first megabyte and frozen the owner.
    QTest::newRow("stopped halfway") << 128 * 1024 * 1024 << true;
    QTest::newRow("completed") << 4 * 1024 * 1024 << false;
}

void tst_TransferSafety::uploadOverAFile()
{
    QFETCH(int, size);
    QFETCH(bool, stopHalfway);
    const QString owners = m_files.filePath("docs/up/target.bin");
    const QByteArray old = E2eFixture::randomBytes(4 * 1024 * 1024);
    const QByteArray fresh = E2eFixture::randomBytes(size);
    QVERIFY(ShareFixture::writeFile(owners, old));
    QVERIFY(ShareFixture::writeFile(m_files.filePath("mine/target.bin"), fresh));
    KvrConfig yes;
    yes.sv("answer", "yes");
    invokeWFtp(*m_alice, "answerOverwrites", yes);

    const QString id = startTransfer(m_files.filePath("mine/target.bin"), Disc + "/up", m_files.filePath("mine"));
    QVERIFY(!id.isEmpty());
    if (stopHalfway) {
        QTRY_VERIFY_WITH_TIMEOUT(transferState(id).gv("bytes").toLongLong() >= 1024 * 1024, TransferWaitMs);
        // Held while the stop goes in, so the stop lands before the end.
        freezeBob(true);
        const qint64 sent = transferState(id).gv("bytes").toLongLong();
        KvrConfig stop;
        stop.sv("id", id);
        QVERIFY(invokeWFtp(*m_alice, "stopTransfer", stop).checkResult());
        freezeBob(false);
        QVERIFY2(sent < size, qPrintable(QString::number(sent)));
        waitForTransfer(id);
        // The owner gives the new bytes up once the uploader lets go.
        QTRY_VERIFY_WITH_TIMEOUT(safetyTreeOf(m_files.filePath("docs/up")).size() == 1, TransferWaitMs);
        QVERIFY(ShareFixture::readFile(owners) == old);
    } else {
        const KvrConfig done = waitForTransfer(id);
        QVERIFY2(done.checkResult(), qPrintable(done.gv("failed") + " failed"));
        QVERIFY(ShareFixture::readFile(owners) == fresh);
        QCOMPARE(safetyTreeOf(m_files.filePath("docs/up")).keys(), QStringList{"/target.bin"});
    }
}

void tst_TransferSafety::downloadBesideLinks_data()
{
    QTest::addColumn<QString>("answer");
    QTest::newRow("overwrite refused") << "no";
    QTest::newRow("overwrite accepted") << "yes";
}

// alice downloads live.bin and dangling.bin into a folder where both names
// are links out of it, one to a file, one to nothing.
void tst_TransferSafety::downloadBesideLinks()
{
    QFETCH(QString, answer);
    const QString into = m_files.filePath("into-" + answer);
    const QString outside = m_files.filePath("outside");
    QVERIFY(QDir().mkpath(into));
    QVERIFY(ShareFixture::writeFile(m_files.filePath("docs/live.bin"), E2eFixture::randomBytes(300000)));
    QVERIFY(ShareFixture::writeFile(m_files.filePath("docs/dangling.bin"), E2eFixture::randomBytes(200000)));
    QVERIFY(ShareFixture::writeFile(outside + "/victim-" + answer, "keep me"));
    QVERIFY(QFile::link(outside + "/victim-" + answer, into + "/live.bin"));
    QVERIFY(QFile::link(outside + "/new-" + answer, into + "/dangling.bin"));
    const QMap<QString, QByteArray> outsideBefore = safetyTreeOf(outside);
    const QMap<QString, QByteArray> intoBefore = safetyTreeOf(into);
    KvrConfig given;
    given.sv("answer", answer);
    invokeWFtp(*m_alice, "answerOverwrites", given);

    const QString id = startTransfer(Disc + "/live.bin|" + Disc + "/dangling.bin", into, Disc);
    QVERIFY(!id.isEmpty());
    const KvrConfig done = waitForTransfer(id);
    QVERIFY2(done.checkResult(), qPrintable(done.gv("failed") + " failed"));
    QCOMPARE(safetyTreeOf(outside), outsideBefore);
    if (answer == "no") {
        // Both are existing files: asked about, and kept.
        QCOMPARE(done.gv("completed"), QString("0"));
        QCOMPARE(safetyTreeOf(into), intoBefore);
    } else {
        // The links themselves are replaced by the files.
        const QMap<QString, QByteArray> expected{
            {"/live.bin", ShareFixture::readFile(m_files.filePath("docs/live.bin"))},
            {"/dangling.bin", ShareFixture::readFile(m_files.filePath("docs/dangling.bin"))}};
        QCOMPARE(safetyTreeOf(into), expected);
    }
}

// bob's client stops (SIGSTOP) in the middle of a download and goes on after
// an outage many times the reconnect wait; the download completes whole
// without starting over. WIVORA_OUTAGE_MS sets the outage (the hand run
// uses 180000).
void tst_TransferSafety::downloadOutlastsAnOwnerThatStopsAnswering()
{
    const int outageMs = qEnvironmentVariableIsSet("WIVORA_OUTAGE_MS") ? qEnvironmentVariableIntValue("WIVORA_OUTAGE_MS")
                                                                       : 12000;
    // Longer than a full read window and the writer's queue past the mark
    // below, so the owner's outage comes while requests are still to send.
    const QByteArray content = E2eFixture::randomBytes(
        int(4 * 1024 * 1024 + ReadWindow::MaxBytes + FileWriter::MaxQueuedBytes + 32 * 1024 * 1024));
    QVERIFY(ShareFixture::writeFile(m_files.filePath("docs/long.bin"), content));
    const QString into = m_files.filePath("outage");
    QVERIFY(QDir().mkpath(into));

    const QString id = startTransfer(Disc + "/long.bin", into, Disc);
    QVERIFY(!id.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(transferState(id).gv("bytes").toLongLong() >= 4 * 1024 * 1024, TransferWaitMs);
    freezeBob(true);
    const qint64 before = transferState(id).gv("bytes").toLongLong();
    QVERIFY2(before < content.size(), qPrintable(QString::number(before)));
    QElapsedTimer outage;
    outage.start();
    QThread::msleep(outageMs);
    const QString during = transferState(id).gv("returned");
    freezeBob(false);
    QCOMPARE(during, QString("false"));

    const KvrConfig done = waitForTransfer(id);
    qInfo("outage of %lld ms from byte %lld; %s bytes moved in all", outage.elapsed(), before,
          qPrintable(done.gv("bytes")));
    QVERIFY2(done.checkResult(), qPrintable(done.gv("failed") + " failed"));
    QVERIFY(ShareFixture::readFile(into + "/long.bin") == content);
    // Went on at its offset: nothing moved twice but what was on its way.
    QVERIFY2(done.gv("bytes").toLongLong() < content.size() + 4 * 1024 * 1024, qPrintable(done.gv("bytes")));
}

void tst_TransferSafety::folderDeleteKeepsHiddenEntries()
{
    const QString docs = m_files.filePath("docs");
    QVERIFY(QDir().mkpath(docs + "/project/.git"));
    QVERIFY(QDir().mkpath(docs + "/project/src"));
    QVERIFY(QDir().mkpath(docs + "/plain/inner"));
    for (const char *file : {"/project/.git/HEAD", "/project/.env", "/project/readme.txt", "/project/src/main.c",
                             "/plain/a.txt", "/plain/inner/b.txt"})
        QVERIFY(ShareFixture::writeFile(docs + file, file));

    KvrConfig request;
    request.sv("files", Disc + "/project|" + Disc + "/plain");
    const KvrConfig reply = invokeWFtp(*m_alice, "deleteFiles", request);
    QVERIFY(reply.checkResult());
    QCOMPARE(reply.gv("kept"), Disc + "/project");
    const QMap<QString, QByteArray> left = safetyTreeOf(docs + "/project");
    const QMap<QString, QByteArray> expected{
        {"/.git", "dir"}, {"/.git/HEAD", "/project/.git/HEAD"}, {"/.env", "/project/.env"}};
    QCOMPARE(left, expected);
    QVERIFY(!QFileInfo::exists(docs + "/plain"));
}

WIVORA_TEST_GUILESS_MAIN(tst_TransferSafety)
#include "tst_TransferSafety.moc"
