// Folders of many small files between two real clients of a real
// wivora-server on 127.0.0.1: they come in batches with what a batch cannot
// carry taken one by one, and a file counts as done only once it is whole in
// place, which a SIGKILL of the receiver right after shows.
#include "FileBytes.h"
#include "QtTestSuite.h"
#include "E2eFixture.h"
#include "WFtpOperations.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QtTest>

namespace {

const QString Disc = QStringLiteral("vls/bob/docs/root");
constexpr int TransferWaitMs = 600000;

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Relative path -> contents, "/" for a folder; links are not shared.
QMap<QString, QByteArray> tree(const QString &top)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(top, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().isSymLink())
            continue;
        entries.insert(path.mid(top.size()), QFileInfo(path).isDir() ? QByteArray("/") : contentsOf(path));
    }
    return entries;
}

} // namespace

class tst_SmallFileDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void foldersOfSmallFilesArriveWhole();
    void everyFileReportedDoneIsWhole();

private:
    KvrConfig download(const QString &folder, const QString &landing);

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice, m_bob;
    QTemporaryDir m_files;
};

void tst_SmallFileDownload::initTestCase()
{
    QVERIFY(m_files.isValid());
    const QString docs = m_files.filePath("docs");
    // Files around the batch limit, a link (never listed, so never asked
    // for), a larger file, an empty one and a folder between them.
    const QString mixed = docs + "/mixed";
    QVERIFY(QDir().mkpath(mixed + "/sub"));
    for (int i = 0; i < 600; ++i)
        QVERIFY(writeBytes(mixed + QString("/f%1.bin").arg(i, 4, 10, QChar('0')), E2eFixture::randomBytes(1 + i * 113 % 70000)));
    QVERIFY(writeBytes(mixed + "/empty", QByteArray()));
    QVERIFY(writeBytes(mixed + "/large.bin", E2eFixture::randomBytes(300 * 1000)));
    QVERIFY(QFile::link(mixed + "/f0007.bin", mixed + "/link.bin"));
    for (int i = 0; i < 40; ++i)
        QVERIFY(writeBytes(mixed + QString("/sub/s%1").arg(i), E2eFixture::randomBytes(500 + i)));
    const QString many = docs + "/many";
    QVERIFY(QDir().mkpath(many));
    for (int i = 0; i < 4000; ++i)
        QVERIFY(writeBytes(many + QString("/t%1").arg(i, 5, 10, QChar('0')), E2eFixture::randomBytes(1000 + i % 50)));

    QVERIFY(m_fixture.startService({"alice", "bob"}, {{"alice", "bob"}}));
    m_alice = m_fixture.client("alice");
    m_bob = m_fixture.client("bob");
    QVERIFY(startWithWFtp({m_alice.get(), m_bob.get()}));
    QCOMPARE(shareFolder(*m_bob, docs, "alice"), Disc);
}

KvrConfig tst_SmallFileDownload::download(const QString &folder, const QString &landing)
{
    KvrConfig request;
    request.sv("folders", Disc + "/" + folder);
    request.sv("target", landing);
    request.sv("base", Disc);
    const KvrConfig started = invokeWFtp(*m_alice, "startTransfer", request);
    KvrConfig state;
    state.sv("id", started.gv("id"));
    return state;
}

void tst_SmallFileDownload::foldersOfSmallFilesArriveWhole()
{
    const QString landing = m_files.filePath("received");
    QVERIFY(QDir().mkpath(landing));
    const KvrConfig state = download("mixed", landing);
    QVERIFY(!state.gv("id").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(invokeWFtp(*m_alice, "transferState", state).gv("returned"), QString("true"), TransferWaitMs);
    const KvrConfig done = invokeWFtp(*m_alice, "transferState", state);
    QVERIFY2(done.checkResult(), qPrintable(done.gv("failed") + " failed"));
    const auto received = tree(landing + "/mixed");
    const auto sent = tree(m_files.filePath("docs/mixed"));
    QCOMPARE(sent.size(), 600 + 2 + 41);
    for (auto it = sent.cbegin(); it != sent.cend(); ++it)
        QVERIFY2(received.value(it.key()) == it.value(), qPrintable(it.key()));
    QCOMPARE(received.size(), sent.size());
    // Each file and each of the two folders.
    QCOMPARE(done.gv("completed").toInt(), 600 + 2 + 40 + 2);
    QVERIFY(!QFileInfo::exists(landing + "/mixed/link.bin"));
    // No temporary is left behind.
    QDirIterator it(landing, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        QVERIFY2(!it.next().contains(".wftp-part-"), qPrintable(it.filePath()));
}

void tst_SmallFileDownload::everyFileReportedDoneIsWhole()
{
    const QString landing = m_files.filePath("killed");
    QVERIFY(QDir().mkpath(landing));
    const KvrConfig state = download("many", landing);
    QVERIFY(!state.gv("id").isEmpty());
    // Killed as soon as a good part is reported done, while batches are
    // still being written and put in place.
    int reported = 0;
    QDeadlineTimer arriving(TransferWaitMs);
    while ((reported = invokeWFtp(*m_alice, "transferState", state).gv("completed").toInt()) < 1000
           && !arriving.hasExpired())
        QThread::msleep(1);
    QVERIFY(m_alice->kill());
    QVERIFY(reported >= 1000);
    const QString source = m_files.filePath("docs/many");
    int whole = 0;
    QDirIterator it(landing + "/many", QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().startsWith(".wftp-part-"))
            continue;
        // Under its own name a file is whole, never a part of it.
        QCOMPARE(contentsOf(path), contentsOf(source + "/" + it.fileName()));
        ++whole;
    }
    qInfo("%d files whole, %d items reported done", whole, reported);
    // The folder itself is one of the items done.
    QVERIFY(whole >= reported - 1);
    QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));
}

WIVORA_TEST_GUILESS_MAIN(tst_SmallFileDownload)
#include "tst_SmallFileDownload.moc"
