#include "QtTestSuite.h"
#include "TcpConnection.h"
#include "WCryptography.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Accepts links and sends frames on each without pause until it ends.
class Flooder : public QTcpServer
{
public:
    explicit Flooder(const WKeyPair &keys)
        : m_keys(keys)
    {
    }
    ~Flooder() override
    {
        m_stop = true;
        for (std::thread &sender : m_senders)
            sender.join();
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto link = std::make_shared<TcpConnection>();
        link->setKeyPair(m_keys.publicKey, m_keys.privateKey);
        if (!link->setSocketDesctiptor(descriptor))
            return;
        m_senders.emplace_back([this, link] {
            KvrConfig record;
            record.sv(QStringLiteral("command"), QStringLiteral("test:::flood"));
            record.SetValue(QStringLiteral("payload"), QByteArray(16 * 1024, 'f'));
            // A link takes records from the end of its handshake: flooding
            // earlier would fail at once and close the link under a loaded
            // machine's slow handshake, failing the far side's connect.
            QElapsedTimer handshake;
            handshake.start();
            while (!m_stop && !link->isConnected() && handshake.elapsed() < 10000)
                QThread::msleep(1);
            while (!m_stop && link->pushCommand(record))
                QThread::usleep(100);
        });
    }

private:
    WKeyPair m_keys;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_senders;
};

} // namespace

// The process-wide I/O service at the end of a process.
class tst_IoService : public QObject
{
    Q_OBJECT
private slots:
    void exitWhileFramesArriveIsClean();
};

void tst_IoService::exitWhileFramesArriveIsClean()
{
    const WKeyPair keys = WCryptography::GenerateKeyPair(2048);
    QTemporaryDir folder;
    QFile keyFile(folder.filePath(QStringLiteral("key.pem")));
    QVERIFY(keyFile.open(QIODevice::WriteOnly) && keyFile.write(keys.publicKey.toLatin1()) > 0);
    keyFile.close();
    Flooder flooder(keys);
    QVERIFY(flooder.listen(QHostAddress::LocalHost, 0));

    // Exits at different moments of the stream.
    for (int delayMs : {0, 1, 3, 7, 15, 30, 60, 100}) {
        QProcess helper;
        helper.setProcessChannelMode(QProcess::MergedChannels);
        helper.start(QStringLiteral(WIVORA_EXIT_HELPER),
                     {QString::number(flooder.serverPort()), keyFile.fileName(), QString::number(delayMs)});
        QVERIFY(helper.waitForStarted());
        // The accept runs on this thread's events while the helper waits.
        QTRY_VERIFY_WITH_TIMEOUT(helper.state() == QProcess::NotRunning, 30000);
        const QString output = QString::fromLocal8Bit(helper.readAll());
        QVERIFY2(helper.exitStatus() == QProcess::NormalExit, qPrintable(output));
        QVERIFY2(helper.exitCode() == 0, qPrintable(QStringLiteral("exit code %1: %2").arg(helper.exitCode()).arg(output)));
    }
}

WIVORA_TEST_MAIN(tst_IoService)
#include "tst_IoService.moc"
