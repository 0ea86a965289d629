// The transfer monitor fed by a real serving engine: bob's files that alice
// opens, reads and writes, and closes, including the idle sweep on a pool
// thread.
#include "QtTestSuite.h"
#include "TransferFixture.h"

#include <TransferMonitor.h>
#include <VirtualFile.h>

#include <QtConcurrent>
#include <QtTest>

class tst_TransferMonitor : public QObject
{
    Q_OBJECT

private slots:
    void formatAmount_data();
    void formatAmount();
    void followsTheServingEngine();
    void otherFilesLeaveARowAlone();
};

void tst_TransferMonitor::formatAmount_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0 bytes";
    QTest::newRow("1024") << qint64(1024) << "1024 bytes";
    QTest::newRow("1025") << qint64(1025) << "1 KB";
    QTest::newRow("1048577") << qint64(1048577) << "1024 KB";
    QTest::newRow("1049600") << qint64(1049600) << "1 MB";
    QTest::newRow("5e9") << qint64(5000000000) << "4768 MB";
}

void tst_TransferMonitor::formatAmount()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(TransferMonitor::formatAmount(bytes), text);
}

void tst_TransferMonitor::followsTheServingEngine()
{
    TransferFixture net;
    QVERIFY(ShareFixture::writeFile(net.path("bob/f.bin"), TransferFixture::pattern(5000)));
    WFtpEngine *serving = net.bobPlugin->commandParser().engine().data();
    TransferMonitor monitor;
    connect(serving, &WFtpEngine::signalFileOpened, &monitor, &TransferMonitor::addFile);
    connect(serving, &WFtpEngine::signalFileClosed, &monitor, &TransferMonitor::removeFile);
    connect(serving, &WFtpEngine::signalFileReadProgress, &monitor, &TransferMonitor::addRead);
    connect(serving, &WFtpEngine::signalFileWriteProgress, &monitor, &TransferMonitor::addWrite);

    // The client asks from a thread of its own, as a transfer does.
    VirtualFile file(net.main());
    QVERIFY(QtConcurrent::run([&] { return file.open("vls/bob/docs/root/f.bin"); }).result());
    QTRY_COMPARE(monitor.fileIds().size(), 1);
    const QString id = monitor.fileIds().first();
    QCOMPARE(monitor.text(id), net.path("bob/f.bin") + " read: 0 bytes");
    QCOMPARE(monitor.entry(id).user, QString("alice"));

    QCOMPARE(QtConcurrent::run([&] { return file.read(0, 1025); }).result().size(), 1025);
    QTRY_COMPARE(monitor.text(id), net.path("bob/f.bin") + " read: 1 KB");
    QVERIFY(QtConcurrent::run([&] { return file.write("xyz", 0); }).result());
    QTRY_COMPARE(monitor.text(id), net.path("bob/f.bin") + " written: 3 bytes");
    QVERIFY(monitor.entry(id).lastWasWrite);

    // The owner's idle sweep closes it on a pool thread.
    QtConcurrent::run([serving] { serving->closeAllFiles(); }).waitForFinished();
    QTRY_VERIFY(monitor.fileIds().isEmpty());
}

void tst_TransferMonitor::otherFilesLeaveARowAlone()
{
    TransferMonitor monitor;
    monitor.addFile("{1}", "/a", "ann");
    monitor.addFile("{2}", "/b", "ben");
    monitor.addRead("{2}", 5000);
    monitor.addWrite("{3}", 7);
    QCOMPARE(monitor.text("{1}"), QString("/a read: 0 bytes"));
    QCOMPARE(monitor.text("{2}"), QString("/b read: 4 KB"));
    monitor.removeFile("{1}");
    QCOMPARE(monitor.fileIds(), QStringList{"{2}"});
}

WIVORA_TEST_GUILESS_MAIN(tst_TransferMonitor)
#include "tst_TransferMonitor.moc"
