// Transfers between two real clients of a real wivora-server on 127.0.0.1:
// alice downloads from and uploads to the disc bob shares with her, while
// bob's client is killed with SIGKILL in the middle and started again.
#include "FileBytes.h"
#include "QtTestSuite.h"
#include "E2eFixture.h"
#include "WFtpOperations.h"

#include <WFtpProtocol.h>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QtTest>

using namespace WFtpProtocol;

namespace {

const QString Disc = QStringLiteral("vls/bob/docs/root");
constexpr int TransferWaitMs = 600000;

QByteArray sha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash sha(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && sha.addData(&file) ? sha.result() : QByteArray();
}

// Relative path -> SHA-256 of each file (empty for a folder); a single file
// gives one entry.
QMap<QString, QByteArray> tree(const QString &top)
{
    QMap<QString, QByteArray> entries;
    if (QFileInfo(top).isFile())
        entries.insert(QString(), sha256(top));
    QDirIterator it(top, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(path.mid(top.size()), QFileInfo(path).isDir() ? QByteArray() : sha256(path));
    }
    return entries;
}

} // namespace

class tst_TransferLoopback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void survivesTheSenderKilled_data();
    void survivesTheSenderKilled();
    void twentyMegabytesWithinBounds();

private:

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice, m_bob;
    QTemporaryDir m_files;
};

void tst_TransferLoopback::initTestCase()
{
    QVERIFY(m_files.isValid());
    const QString docs = m_files.filePath("docs");
    QVERIFY(QDir().mkpath(docs));
    QVERIFY(writeBytes(docs + "/big.bin", E2eFixture::randomBytes(100 * 1024 * 1024)));
    QVERIFY(writeBytes(docs + "/twenty.bin", E2eFixture::randomBytes(20 * 1024 * 1024)));
    // 200 files in 10 folders, alike on bob's disc and in alice's folder.
    for (const char *side : {"docs/tree", "mine/tree"}) {
        for (int i = 0; i < 200; ++i) {
            const QString folder = m_files.filePath(side) + QString("/d%1").arg(i % 10);
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(writeBytes(folder + QString("/f%1.bin").arg(i), E2eFixture::randomBytes(20000 + 997 * i)));
        }
    }
    QVERIFY(QDir().mkpath(m_files.filePath("received")));

    QVERIFY(m_fixture.startService({"alice", "bob"}, {{"alice", "bob"}}));
    m_alice = m_fixture.client("alice");
    m_bob = m_fixture.client("bob");
    QVERIFY(startWithWFtp({m_alice.get(), m_bob.get()}));
    QCOMPARE(shareFolder(*m_bob, docs, "alice"), Disc);
}

void tst_TransferLoopback::survivesTheSenderKilled_data()
{
    QTest::addColumn<QString>("files");
    QTest::addColumn<QString>("folders");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("source");      // local folder holding what is sent
    QTest::addColumn<QString>("destination"); // local folder where it lands
    QTest::addColumn<qint64>("killAfter");    // bytes arrived
    QTest::newRow("100 MiB download") << Disc + "/big.bin" << "" << "received" << Disc << "docs/big.bin"
                                      << "received/big.bin" << qint64(8 * 1024 * 1024);
    QTest::newRow("200-file download") << "" << Disc + "/tree" << "received" << Disc << "docs/tree"
                                       << "received/tree" << qint64(2 * 1024 * 1024);
    QTest::newRow("200-file upload") << "" << "<mine>/tree" << Disc + "/up" << "<mine>" << "mine/tree"
                                     << "docs/up/tree" << qint64(2 * 1024 * 1024);
}

void tst_TransferLoopback::survivesTheSenderKilled()
{
    QFETCH(QString, files);
    QFETCH(QString, folders);
    QFETCH(QString, target);
    QFETCH(QString, base);
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(qint64, killAfter);
    if (!m_bob->isRunning())
        QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));
    const QString mine = m_files.filePath("mine");
    QVERIFY(QDir().mkpath(m_files.filePath("docs/up")));
    KvrConfig request;
    request.sv("files", files);
    request.sv("folders", QString(folders).replace("<mine>", mine));
    request.sv("target", target.startsWith("vls/") ? target : m_files.filePath(target));
    request.sv("base", QString(base).replace("<mine>", mine));
    const KvrConfig started = invokeWFtp(*m_alice, "startTransfer", request);
    QVERIFY(started.checkResult());
    KvrConfig state;
    state.sv("id", started.gv("id"));

    // Cut once in the middle: bob's client dies without a word.
    const QString landing = m_files.filePath(destination);
    // Polled closely: loopback moves a file in moments.
    QDeadlineTimer arriving(TransferWaitMs);
    while (invokeWFtp(*m_alice, "transferState", state).gv("bytes").toLongLong() < killAfter && !arriving.hasExpired())
        QThread::msleep(1);
    QVERIFY(m_bob->kill());
    if (destination.endsWith(".bin")) {
        // Nothing under the target's name until the file is whole.
        QVERIFY(!QFile::exists(landing));
    }
    QVERIFY(invokeWFtp(*m_alice, "transferState", state).gv("returned") == "false");
    QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));

    QTRY_COMPARE_WITH_TIMEOUT(invokeWFtp(*m_alice, "transferState", state).gv("returned"), QString("true"), TransferWaitMs);
    const KvrConfig done = invokeWFtp(*m_alice, "transferState", state);
    QVERIFY2(done.checkResult(), qPrintable(done.gv("failed") + " failed"));
    QVERIFY(!tree(landing).isEmpty());
    QCOMPARE(tree(landing), tree(m_files.filePath(source)));
}

void tst_TransferLoopback::twentyMegabytesWithinBounds()
{
    // Bounds the issue sets, loose for a loaded machine: the whole file in
    // 20 s, and a row showing at least 3000 KB/s once the chunks have grown.
    if (!m_bob->isRunning())
        QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));
    QVERIFY(QDir().mkpath(m_files.filePath("twenty")));
    KvrConfig request;
    request.sv("files", Disc + "/twenty.bin");
    request.sv("target", m_files.filePath("twenty"));
    request.sv("base", Disc);
    QElapsedTimer took;
    took.start();
    const KvrConfig started = invokeWFtp(*m_alice, "startTransfer", request);
    QVERIFY(started.checkResult());
    KvrConfig asking;
    asking.sv("id", started.gv("id"));
    QList<int> speeds;
    const QRegularExpression speedText("^/twenty\\.bin speed: (\\d+) KB/s, 1 of 1$");
    KvrConfig state;
    do {
        QThread::msleep(20);
        state = invokeWFtp(*m_alice, "transferState", asking);
        const QRegularExpressionMatch line = speedText.match(state.gv("progress"));
        // Past the first few megabytes every chunk is at its largest.
        if (line.hasMatch() && state.gv("bytes").toLongLong() > 4 * 1024 * 1024)
            speeds << line.captured(1).toInt();
    } while (state.gv("returned") != "true" && took.elapsed() < 120000);
    const qint64 elapsed = took.elapsed();
    QVERIFY(state.checkResult());
    // The last line stays: a run quicker than the polling still has one.
    const QRegularExpressionMatch last = speedText.match(state.gv("progress"));
    QVERIFY(last.hasMatch());
    speeds << last.captured(1).toInt();
    QCOMPARE(tree(m_files.filePath("twenty/twenty.bin")), tree(m_files.filePath("docs/twenty.bin")));
    QVERIFY2(elapsed < 20000, qPrintable(QString::number(elapsed) + " ms"));
    QVERIFY(!speeds.isEmpty());
    std::sort(speeds.begin(), speeds.end());
    const int median = speeds.at(speeds.size() / 2);
    qInfo("20 MiB in %lld ms; median speed line %d KB/s over %d samples", elapsed, median, int(speeds.size()));
    QVERIFY2(median >= 3000, qPrintable(QString::number(median)));
}

WIVORA_TEST_GUILESS_MAIN(tst_TransferLoopback)
#include "tst_TransferLoopback.moc"
