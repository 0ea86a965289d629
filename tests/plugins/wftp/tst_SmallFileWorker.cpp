// The transfer worker on folders of small files between two in-process
// clients: batches that are refused, lost or forged leave the files to their
// own requests, and a stop among batches leaves nothing behind.
#include "QtTestSuite.h"
#include "TransferFixture.h"

#include <SmallFileBatch.h>
#include <TransferWorker.h>
#include <WFtpProtocol.h>

#include <QSignalSpy>
#include <QtTest>

using namespace WFtpProtocol;

namespace {
constexpr int Files = 600;
}

class tst_SmallFileWorker : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void faultyBatchesLeaveFilesToTheirOwnRequests_data();
    void faultyBatchesLeaveFilesToTheirOwnRequests();
    void stopAmongBatchesLeavesNothingBehind();

private:
    std::unique_ptr<TransferFixture> m_net;
};

void tst_SmallFileWorker::init()
{
    m_net = std::make_unique<TransferFixture>();
    QVERIFY(QDir().mkpath(m_net->path("bob/many")));
    for (int i = 0; i < Files; ++i)
        QVERIFY(ShareFixture::writeFile(m_net->path("bob/many/f%1").arg(i, 3, 10, QChar('0')),
                                        TransferFixture::pattern(100 + i * 3, i)));
}

void tst_SmallFileWorker::cleanup()
{
    m_net.reset();
}

void tst_SmallFileWorker::faultyBatchesLeaveFilesToTheirOwnRequests_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("batchesAsked");
    const int batches = (Files + TransferWorker::SmallFilesPerBatch - 1) / TransferWorker::SmallFilesPerBatch;
    QTest::newRow("none") << "" << batches;
    // An owner that knows no batches is asked for no more than went out
    // before its first answer.
    QTest::newRow("refused, as by an older owner") << "refuse" << TransferWorker::BatchesInFlight;
    QTest::newRow("first reply lost") << "lose" << batches;
    QTest::newRow("bytes added to a reply") << "forge" << batches;
}

void tst_SmallFileWorker::faultyBatchesLeaveFilesToTheirOwnRequests()
{
    QFETCH(QString, fault);
    QFETCH(int, batchesAsked);
    TestHost::ReplyFault replyFault;
    replyFault.nth = fault == "refuse" ? 0 : 1;
    replyFault.drop = fault == "lose";
    if (fault == "refuse") {
        replyFault.rewrite = [](KvrConfig &reply) {
            reply.RemoveKey(KeyFiles);
            reply.RemoveKey(KeyData);
            reply.SetResult(false);
        };
    } else if (fault == "forge") {
        replyFault.rewrite = [](KvrConfig &reply) { reply.SetValue(KeyData, reply.GetValue(KeyData) + "forged"); };
    }
    if (!fault.isEmpty())
        m_net->alice.addReplyFault(ReadFiles, replyFault);
    TransferWorker worker(m_net->main(), {{"vls/bob/docs/root/many", false}}, m_net->path("local"),
                          "vls/bob/docs/root", nullptr);
    worker.setRetryDelayMs(20);
    QSignalSpy finished(&worker, &TransferWorker::finished);
    worker.run();
    QCOMPARE(finished.first().first().toBool(), true);
    QCOMPARE(worker.completedItems(), Files + 1);
    QCOMPARE(TransferFixture::tree(m_net->path("local/many")), TransferFixture::tree(m_net->path("bob/many")));
    QCOMPARE(m_net->alice.sentCommands(ReadFiles).size(), batchesAsked);
    // Files of a faulty batch, and only those, took their own road.
    const int oneByOne = m_net->alice.sentCommands(OpenFile).size();
    QCOMPARE(oneByOne, fault.isEmpty() ? 0 : fault == "refuse" ? Files : TransferWorker::SmallFilesPerBatch);
    m_net->alice.waitIdle();
    m_net->bob.waitIdle();
    QCOMPARE(m_net->bobPlugin->commandParser().engine()->openedFileCount(), 0);
}

void tst_SmallFileWorker::stopAmongBatchesLeavesNothingBehind()
{
    TransferWorker worker(m_net->main(), {{"vls/bob/docs/root/many", false}}, m_net->path("local"),
                          "vls/bob/docs/root", nullptr);
    connect(&worker, &TransferWorker::progress, [&](const QString &, int, double, int item) {
        if (item > Files / 2)
            worker.stop();
    });
    QSignalSpy finished(&worker, &TransferWorker::finished);
    worker.run();
    QCOMPARE(finished.first().first().toBool(), false);
    QVERIFY(worker.completedItems() > 0);
    QVERIFY(worker.completedItems() < Files);
    // What arrived is whole, and no temporary stays.
    const auto received = TransferFixture::tree(m_net->path("local/many"));
    const auto sent = TransferFixture::tree(m_net->path("bob/many"));
    QCOMPARE(received.size(), worker.completedItems() - 1);
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        QVERIFY2(sent.value(it.key()) == it.value(), qPrintable(it.key()));
    m_net->alice.waitIdle();
    m_net->bob.waitIdle();
    QCOMPARE(m_net->bobPlugin->commandParser().engine()->openedFileCount(), 0);
}

WIVORA_TEST_GUILESS_MAIN(tst_SmallFileWorker)
#include "tst_SmallFileWorker.moc"
