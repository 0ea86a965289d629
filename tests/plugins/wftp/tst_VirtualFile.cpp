// The remote file proxy on real files: alice's own disc opens locally, bob's
// through his plug-in over one link, with every reply checked.
#include "QtTestSuite.h"
#include "ShareFixture.h"
#include "TestHost.h"

#include <VirtualFile.h>
#include <WFtp.h>
#include <WFtpCommands.h>
#include <WFtpProtocol.h>

#include <QtTest>

#include <thread>

using namespace WFtpProtocol;

class tst_VirtualFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void ownDiscOpensLocally_data();
    void ownDiscOpensLocally();
    void links_data();
    void links();
    void readsMatchTheSource();
    void readsSentAhead();
    void sizeBeyondFourGiB();
    void moreDataThanAskedIsAFailure();
    void resumeAfterALostLink();
    void overwriteLeavesNoTail();

private:
    static QByteArray pattern(int size);

    std::unique_ptr<ShareFixture> m_files;
    std::unique_ptr<TestNetwork> m_network;
    std::unique_ptr<TestHost> m_alice, m_bob;
    std::unique_ptr<WFtp> m_alicePlugin, m_bobPlugin;
};

void tst_VirtualFile::init()
{
    m_files = std::make_unique<ShareFixture>();
    m_network = std::make_unique<TestNetwork>();
    m_alice = std::make_unique<TestHost>("alice", m_network.get());
    m_bob = std::make_unique<TestHost>("bob", m_network.get());
    m_alicePlugin = std::make_unique<WFtp>();
    m_bobPlugin = std::make_unique<WFtp>();
    m_alice->setPlugin(m_alicePlugin.get());
    m_bob->setPlugin(m_bobPlugin.get());
    // The same folder is alice's own disc and the disc bob shares with her.
    for (WFtp *plugin : {m_alicePlugin.get(), m_bobPlugin.get()}) {
        WFtpEngine &engine = *plugin->commandParser().engine();
        const QString disc = engine.addSharedDisc(m_files->docs(), "docs");
        engine.addPermittedUser(ShareFixture::record("alice", {"1", "1"}), disc, "root");
    }
}

void tst_VirtualFile::cleanup()
{
    m_network->quiesce();
    // Plug-ins go before their hosts, as in the program.
    m_alicePlugin.reset();
    m_bobPlugin.reset();
}

QByteArray tst_VirtualFile::pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 4093) & 0xff);
    return bytes;
}

void tst_VirtualFile::ownDiscOpensLocally_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<bool>("existsAfter");

    QTest::newRow("existing, read") << "a.txt" << int(VirtualFile::Mode::Read) << true << true;
    QTest::newRow("missing, read: not created") << "gone.txt" << int(VirtualFile::Mode::Read) << false << false;
    // Written beside its name: there once closed whole.
    QTest::newRow("missing, write: created once closed") << "new.txt" << int(VirtualFile::Mode::Write) << true << false;
    QTest::newRow("outside the disc") << "../outside/secret.txt" << int(VirtualFile::Mode::Read) << false << true;
}

void tst_VirtualFile::ownDiscOpensLocally()
{
    QFETCH(QString, name);
    QFETCH(int, mode);
    QFETCH(bool, opens);
    QFETCH(bool, existsAfter);

    VirtualFile file(m_alicePlugin->controller());
    QCOMPARE(file.open("vls/alice/docs/root/" + name, VirtualFile::Mode(mode)), opens);
    QCOMPARE(QFileInfo::exists(m_files->docs() + "/" + name), existsAfter);
    if (opens && VirtualFile::Mode(mode) == VirtualFile::Mode::Write) {
        QVERIFY(file.close());
        QVERIFY(QFileInfo::exists(m_files->docs() + "/" + name));
    }
    if (opens && name == "a.txt") {
        QCOMPARE(file.read(1, 3), QByteArray("lph"));
        QCOMPARE(file.size(), 5);
        QVERIFY(file.close());
        QVERIFY(!file.isOpen());
    }
    QVERIFY(m_alice->sentCommands().isEmpty());
    QCOMPARE(m_alice->linksOpened.load(), 0);
}

void tst_VirtualFile::links_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<int>("linksOpened");
    QTest::addColumn<QString>("link");

    QTest::newRow("opens its own link") << "" << false << true << 1 << "link-open-bob";
    QTest::newRow("goes on the caller's link") << "link-set" << false << true << 0 << "link-set";
    QTest::newRow("no link to be had") << "" << true << false << 1 << "";
}

void tst_VirtualFile::links()
{
    QFETCH(QString, preset);
    QFETCH(bool, refuse);
    QFETCH(bool, opens);
    QFETCH(int, linksOpened);
    QFETCH(QString, link);

    m_alice->refuseLinks = refuse;
    VirtualFile file(m_alicePlugin->controller());
    file.connectionID = preset;
    QCOMPARE(file.open("vls/bob/docs/root/a.txt", VirtualFile::Mode::Read), opens);
    QCOMPARE(m_alice->linksOpened.load(), linksOpened);
    const auto routes = m_alice->sentRoutes();
    QCOMPARE(routes.size(), link.isEmpty() ? 0 : 1);
    if (!link.isEmpty()) {
        QCOMPARE(routes[0], qMakePair(QStringLiteral("bob"), link));
        QCOMPARE(m_alice->sentCommands()[0].gv("mode"), QStringLiteral("r"));
        QCOMPARE(file.read(0, 100), QByteArray("alpha"));
    }
}

void tst_VirtualFile::readsMatchTheSource()
{
    const QByteArray source = pattern(3 * 1024 * 1024);
    QVERIFY(ShareFixture::writeFile(m_files->docs() + "/big.bin", source));
    VirtualFile file(m_alicePlugin->controller());
    QVERIFY(file.open("vls/bob/docs/root/big.bin", VirtualFile::Mode::Read));
    QCOMPARE(file.size(), source.size());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    qint64 offset = 0;
    for (;;) {
        const QByteArray chunk = file.read(offset, 252864);
        if (chunk.isEmpty())
            break;
        hash.addData(chunk);
        offset += chunk.size();
    }
    QCOMPARE(offset, source.size());
    QCOMPARE(hash.result(), QCryptographicHash::hash(source, QCryptographicHash::Sha256));
    // "from" and "count" as plain decimals.
    const KvrConfig first = m_alice->sentCommands().at(2);
    QCOMPARE(first.GetValue("from"), QByteArray("0"));
    QCOMPARE(first.GetValue("count"), QByteArray("252864"));
    QVERIFY(file.close());
    QCOMPARE(m_bobPlugin->commandParser().engine()->openedFileCount(), 0);
}

// Several reads on their way, taken in any order; the answers tell the end
// of the file from a file the owner no longer holds open.
void tst_VirtualFile::readsSentAhead()
{
    const QByteArray source = pattern(100000);
    QVERIFY(ShareFixture::writeFile(m_files->docs() + "/f.bin", source));
    VirtualFile file(m_alicePlugin->controller());
    QVERIFY(file.open("vls/bob/docs/root/f.bin", VirtualFile::Mode::Read));
    QList<VirtualFile::Pending> reads;
    for (qint64 from : {0, 40000, 80000, 100000})
        reads << file.sendRead(from, 40000);
    const VirtualFile::Pending dropped = file.sendRead(0, 10);
    file.abandon(dropped);
    bool answered = false;
    QCOMPARE(file.takeRead(reads[3], &answered), QByteArray());
    QVERIFY(answered);
    QCOMPARE(file.takeRead(reads[2], &answered), source.mid(80000));
    QVERIFY(answered);
    QCOMPARE(file.takeRead(reads[0]), source.left(40000));
    QCOMPARE(file.takeRead(reads[1]), source.mid(40000, 40000));

    m_bobPlugin->commandParser().engine()->closeAllFiles();
    QCOMPARE(file.takeRead(file.sendRead(0, 10), &answered), QByteArray());
    QVERIFY(answered);
    QVERIFY(!file.isOpen());
    // The abandoned answer was dropped when it came.
    m_alice->waitIdle();
    QVERIFY(m_alice->takeAll(ReadFile + ReplySuffix).isEmpty());
}

void tst_VirtualFile::sizeBeyondFourGiB()
{
    QFile sparse(m_files->docs() + "/sparse.bin");
    QVERIFY(sparse.open(QIODevice::WriteOnly));
    const qint64 size = (qint64(5) << 30) + 7;
    QVERIFY(sparse.resize(size));
    sparse.close();
    VirtualFile file(m_alicePlugin->controller());
    QVERIFY(file.open("vls/bob/docs/root/sparse.bin", VirtualFile::Mode::Read));
    QCOMPARE(file.size(), size);
}

void tst_VirtualFile::moreDataThanAskedIsAFailure()
{
    // bob answers by hand: every read returns one byte too many.
    m_bob->setPlugin(nullptr);
    std::atomic<bool> done{false};
    std::thread owner([&] {
        while (!done) {
            for (const QString &command : {OpenFile, ReadFile}) {
                for (const KvrConfig &request : m_bob->takeAll(command)) {
                    KvrConfig reply;
                    reply.sv("ID", request.GetID());
                    reply.sv("command", command + ReplySuffix);
                    reply.SetResult(true);
                    reply.sv("fileID", "{f}");
                    reply.SetValue("data", QByteArray(request.GetValue("count").toInt() + 1, 'x'));
                    m_bob->sendCommand(reply, "alice", false, QString());
                }
            }
            QThread::msleep(5);
        }
    });
    VirtualFile file(m_alicePlugin->controller());
    QVERIFY(file.open("vls/bob/docs/root/a.txt", VirtualFile::Mode::Read));
    QVERIFY(file.read(0, 10).isEmpty());
    done = true;
    owner.join();
}

void tst_VirtualFile::resumeAfterALostLink()
{
    const QByteArray source = pattern(600000);
    QVERIFY(ShareFixture::writeFile(m_files->docs() + "/src.bin", source));

    // Download: half, then the owner drops the file (as a lost link does).
    VirtualFile download(m_alicePlugin->controller());
    QVERIFY(download.open("vls/bob/docs/root/src.bin", VirtualFile::Mode::Read));
    QByteArray got = download.read(0, 300000);
    m_bobPlugin->closePlugin();
    download.connectionID = "link-again";
    QVERIFY(!download.isOpen());
    QVERIFY(download.open("vls/bob/docs/root/src.bin", VirtualFile::Mode::Read));
    got += download.read(got.size(), 400000);
    QCOMPARE(got, source);

    // Upload: half, then the owner drops it: nothing half written stays, and
    // the upload goes again whole.
    VirtualFile upload(m_alicePlugin->controller());
    QVERIFY(upload.open("vls/bob/docs/root/dst.bin", VirtualFile::Mode::Write, source.size()));
    QVERIFY(upload.write(source.left(300000), 0));
    m_bobPlugin->closePlugin();
    QCOMPARE(QDir(m_files->docs()).entryList({"*dst*", ".wftp*"}, QDir::Files | QDir::Hidden), QStringList());
    upload.connectionID = "link-again";
    QVERIFY(!upload.isOpen());
    QVERIFY(upload.open("vls/bob/docs/root/dst.bin", VirtualFile::Mode::Write, source.size()));
    QVERIFY(upload.write(source.left(300000), 0));
    QVERIFY(upload.write(source.mid(300000), 300000));
    QVERIFY(upload.close());
    QCOMPARE(ShareFixture::readFile(m_files->docs() + "/dst.bin"), source);
    for (const auto &route : m_alice->sentRoutes().mid(m_alice->sentRoutes().size() - 3))
        QCOMPARE(route.second, QStringLiteral("link-again"));
}

void tst_VirtualFile::overwriteLeavesNoTail()
{
    QVERIFY(ShareFixture::writeFile(m_files->docs() + "/long.txt", "a much longer old text"));
    VirtualFile file(m_alicePlugin->controller());
    QVERIFY(file.open("vls/bob/docs/root/long.txt", VirtualFile::Mode::Write));
    QVERIFY(file.write("new"));
    QVERIFY(file.close());
    QCOMPARE(ShareFixture::readFile(m_files->docs() + "/long.txt"), QByteArray("new"));
}

WIVORA_TEST_GUILESS_MAIN(tst_VirtualFile)
#include "tst_VirtualFile.moc"
