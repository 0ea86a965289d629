// A download cut by the end of the downloading client (SIGKILL, or a quit)
// goes on from its kept partial once the client runs again and the same
// file is asked for into the same folder: real server, two real clients.
#include "FileBytes.h"
#include "QtTestSuite.h"
#include "E2eFixture.h"
#include "WFtpOperations.h"

#include <PartialFile.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

namespace {

constexpr int TransferWaitMs = 120000;
#ifdef WIVORA_SANITIZED
constexpr int FileBytes = 4 * 1024 * 1024;
#else
constexpr int FileBytes = 16 * 1024 * 1024;
#endif
// Bytes on bob's disc before the cut.
constexpr qint64 CutAfter = FileBytes / 4;

// Holds a client still (SIGSTOP) while it lives, so a transfer from it can
// not end meanwhile; lets it go on again (SIGCONT) however the test ends.
class Frozen
{
public:
    explicit Frozen(qint64 pid) : m_pid(pid) { m_held = m_pid > 0 && ::kill(pid_t(m_pid), SIGSTOP) == 0; }
    ~Frozen()
    {
        if (m_held)
            ::kill(pid_t(m_pid), SIGCONT);
    }
    bool held() const { return m_held; }

private:
    const qint64 m_pid;
    bool m_held = false;
};

} // namespace

class tst_ResumeAfterRestart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void goesOnFromTheKeptBytes_data();
    void goesOnFromTheKeptBytes();

private:
    KvrConfig startDownload(const QString &into);
    KvrConfig waitForEnd(const QString &id);

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice, m_bob;
    QTemporaryDir m_files;
    QString m_disc;
};

KvrConfig tst_ResumeAfterRestart::startDownload(const QString &into)
{
    KvrConfig request;
    request.sv("files", m_disc + "/film.bin");
    request.sv("target", into);
    request.sv("base", m_disc);
    return invokeWFtp(*m_bob, "startTransfer", request);
}

KvrConfig tst_ResumeAfterRestart::waitForEnd(const QString &id)
{
    KvrConfig asking;
    asking.sv("id", id);
    QDeadlineTimer deadline(TransferWaitMs);
    KvrConfig state;
    do {
        QThread::msleep(20);
        state = invokeWFtp(*m_bob, "transferState", asking);
    } while (state.gv("returned") != "true" && !deadline.hasExpired());
    return state;
}

void tst_ResumeAfterRestart::initTestCase()
{
    QVERIFY(m_files.isValid());
    QVERIFY(QDir().mkpath(m_files.filePath("docs")));
    QVERIFY(m_fixture.startService({"alice", "bob"}, {{"alice", "bob"}}));
    m_alice = m_fixture.client("alice");
    m_bob = m_fixture.client("bob");
    QVERIFY(startWithWFtp({m_alice.get(), m_bob.get()}));
    m_disc = shareFolder(*m_alice, m_files.filePath("docs"), "bob");
    QVERIFY(!m_disc.isEmpty());
}

void tst_ResumeAfterRestart::goesOnFromTheKeptBytes_data()
{
    QTest::addColumn<bool>("quits");
    QTest::addColumn<bool>("changedMeanwhile");
    QTest::newRow("killed") << false << false;
    QTest::newRow("quit") << true << false;
    // Same size, another modification time: the kept bytes are another
    // version's and must not be used.
    QTest::newRow("killed, changed in place") << false << true;
}

void tst_ResumeAfterRestart::goesOnFromTheKeptBytes()
{
    QFETCH(bool, quits);
    QFETCH(bool, changedMeanwhile);
    const QString source = m_files.filePath("docs/film.bin");
    QVERIFY(writeBytes(source, E2eFixture::randomBytes(FileBytes)));
    const QString into = m_files.filePath(QString(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "-"));
    QVERIFY(QDir().mkpath(into));
    if (!m_bob->isRunning())
        QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));

    const KvrConfig first = startDownload(into);
    QVERIFY(first.checkResult());
    KvrConfig asking;
    asking.sv("id", first.gv("id"));
    QDeadlineTimer arriving(TransferWaitMs);
    while (invokeWFtp(*m_bob, "transferState", asking).gv("bytes").toLongLong() < CutAfter && !arriving.hasExpired())
        QThread::msleep(1);
    {
        // The owner held still, bob's client ends in the middle of the file.
        Frozen owner(m_alice->processId());
        QVERIFY(owner.held());
        QVERIFY2(invokeWFtp(*m_bob, "transferState", asking).gv("returned") == "false", "ended before the cut");
        if (quits)
            QVERIFY2(m_bob->stop(), qPrintable(m_bob->diagnostics()));
        else
            QVERIFY(m_bob->kill());
    }
    const QString kept = PartialFile::keptPath(into + "/film.bin");
    const qint64 keptBytes = QFileInfo(kept).size();
    QVERIFY2(keptBytes >= CutAfter && keptBytes < FileBytes, qPrintable(QString::number(keptBytes)));
    QVERIFY(QFile::exists(PartialFile::sourceRecordPath(into + "/film.bin")));
    QVERIFY(!QFile::exists(into + "/film.bin"));

    if (changedMeanwhile) {
        QVERIFY(writeBytes(source, E2eFixture::randomBytes(FileBytes)));
        QFile touched(source);
        QVERIFY(touched.open(QIODevice::ReadWrite));
        QVERIFY(touched.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    }

    QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));
    const KvrConfig again = startDownload(into);
    QVERIFY(again.checkResult());
    const KvrConfig done = waitForEnd(again.gv("id"));
    QVERIFY2(done.checkResult(), qPrintable(done.gv("failed") + " failed\n" + m_bob->diagnostics()));
    QCOMPARE(readBytes(into + "/film.bin"), readBytes(source));
    // Nothing else is left in the folder: partial and record went with the commit.
    QCOMPARE(QDir(into).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{"film.bin"});

    const qint64 fetched = done.gv("bytes").toLongLong();
    qInfo("%lld of %d bytes kept, %lld fetched again", keptBytes, FileBytes, fetched);
    const QRegularExpressionMatch resumed =
        QRegularExpression("resuming " + QRegularExpression::escape(into + "/film.bin") + " from byte (\\d+)")
            .match(m_bob->log());
    if (changedMeanwhile) {
        QVERIFY2(!resumed.hasMatch(), qPrintable(resumed.captured()));
        QCOMPARE(fetched, qint64(FileBytes));
    } else {
        QVERIFY2(resumed.hasMatch(), qPrintable(m_bob->log().right(2000)));
        QCOMPARE(resumed.captured(1).toLongLong(), keptBytes);
        QCOMPARE(fetched, FileBytes - keptBytes);
    }
}

WIVORA_TEST_GUILESS_MAIN(tst_ResumeAfterRestart)
#include "tst_ResumeAfterRestart.moc"
