// The plug-in's controller across logins: requests answered on their link,
// one maintenance loop whatever the thread initPlugin runs on, idle files
// swept, everything closed at logout.
#include "QtTestSuite.h"
#include "ShareFixture.h"
#include "TestHost.h"

#include <WFtp.h>
#include <WFtpCommands.h>
#include <WFtpProtocol.h>

#include <QPluginLoader>
#include <QtConcurrent>
#include <QtTest>

using namespace WFtpProtocol;

class tst_Controller : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void loadsAsAPlugin();
    void answersOnTheRequestsRoad_data();
    void answersOnTheRequestsRoad();
    void oneMaintenanceLoopWhateverTheThread();
    void idleFilesAreSwept();
    void logoutClosesEveryFile();
    void sharingAgainUpdatesTheGrant();
    void pagesChangeOnTheirOwnThread();

private:
    std::unique_ptr<ShareFixture> m_files;
    std::unique_ptr<TestNetwork> m_network;
    std::unique_ptr<TestHost> m_alice, m_bob;
    std::unique_ptr<WFtp> m_alicePlugin;
};

void tst_Controller::init()
{
    m_files = std::make_unique<ShareFixture>();
    m_network = std::make_unique<TestNetwork>();
    m_alice = std::make_unique<TestHost>("alice", m_network.get());
    m_bob = std::make_unique<TestHost>("bob", m_network.get());
    m_alicePlugin = std::make_unique<WFtp>();
    m_alicePlugin->commandParser().engine()->setClock([this] { return m_files->nowMs.load(); });
    m_alice->setPlugin(m_alicePlugin.get());
    WFtpEngine &engine = *m_alicePlugin->commandParser().engine();
    const QString disc = engine.addSharedDisc(m_files->docs(), "docs");
    engine.addPermittedUser(ShareFixture::record("bob", {"1"}), disc, "root");
}

void tst_Controller::cleanup()
{
    m_network->quiesce();
    m_alicePlugin.reset();
}

void tst_Controller::loadsAsAPlugin()
{
    QPluginLoader loader(WIVORA_WFTP_PLUGIN);
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));
    IWPlugin *const plugin = qobject_cast<IWPlugin *>(loader.instance());
    QVERIFY(plugin);
    QCOMPARE(loader.instance(), loader.instance());
    QCOMPARE(plugin->getPluginName(), QStringLiteral("WFtp"));
    QCOMPARE(plugin->getPluginVersion(), 1002);
}

void tst_Controller::answersOnTheRequestsRoad_data()
{
    QTest::addColumn<bool>("serverConnection");
    QTest::newRow("direct link") << false;
    QTest::newRow("server-mode link") << true;
}

void tst_Controller::answersOnTheRequestsRoad()
{
    QFETCH(bool, serverConnection);
    KvrConfig request = WFtpCommands::newRecord(CheckFileExist);
    request.sv("path", "vls/alice/docs/root/a.txt");
    m_bob->sendCommand(request, "alice", serverConnection, "link-7");
    const KvrConfig reply = m_bob->waitFor(request.GetID());
    QVERIFY(reply.checkResult());
    QCOMPARE(reply.gv("Wivora::connection"), serverConnection ? QStringLiteral("1") : QStringLiteral("0"));
    QCOMPARE(m_alice->sentRoutes(), (QList<QPair<QString, QString>>{{"bob", "link-7"}}));
}

void tst_Controller::oneMaintenanceLoopWhateverTheThread()
{
    WFtpMain &main = m_alicePlugin->controller();
    QVERIFY(main.maintenanceRunning());
    // A reconnect runs initPlugin on a pool thread while the loop runs.
    QtConcurrent::run([this] { m_alicePlugin->initPlugin(); }).waitForFinished();
    m_alicePlugin->initPlugin();
    QVERIFY(main.maintenanceRunning());
    m_alicePlugin->closePlugin();
    QVERIFY(!main.maintenanceRunning());
    m_alicePlugin->initPlugin();
    QVERIFY(main.maintenanceRunning());
}

void tst_Controller::idleFilesAreSwept()
{
    WFtpMain &main = m_alicePlugin->controller();
    main.setMaintenanceIntervals(20, 600000);
    WFtpEngine &serving = *m_alicePlugin->commandParser().engine();
    // The sweep runs on the maintenance thread: its closings are recorded here.
    QStringList closed;
    connect(&serving, &WFtpEngine::signalFileClosed, this, [&](const QString &fileID) { closed.append(fileID); },
            Qt::QueuedConnection);
    const QString idle = serving.openFile("vls/alice/docs/root/a.txt", "bob");
    QVERIFY(ShareFixture::writeFile(m_files->docs() + "/b.txt", "beta"));
    const QString busy = serving.openFile("vls/alice/docs/root/b.txt", "bob");
    QVERIFY(!idle.isEmpty() && !busy.isEmpty());
    for (int step = 0; step < 3; ++step) {
        m_files->nowMs += 25000;
        // busy is read every 25 s, idle never.
        QCOMPARE(serving.readFile(busy, FileOpener::peer("bob"), 0, 1), QByteArray("b"));
        QTest::qWait(100);
    }
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(closed.first(), idle);
    QCOMPARE(serving.openedFileCount(), 1);
    disconnect(&serving, &WFtpEngine::signalFileClosed, this, nullptr);
}

void tst_Controller::logoutClosesEveryFile()
{
    WFtpEngine &serving = *m_alicePlugin->commandParser().engine();
    QSignalSpy closed(&serving, &WFtpEngine::signalFileClosed);
    QVERIFY(!serving.openFile("vls/alice/docs/root/a.txt", "bob").isEmpty());
    QVERIFY(!serving.openFile("vls/alice/docs/root/a.txt", "bob").isEmpty());
    m_alicePlugin->closePlugin();
    QCOMPARE(serving.openedFileCount(), 0);
    QCOMPARE(closed.size(), 2);
}

void tst_Controller::sharingAgainUpdatesTheGrant()
{
    WFtpMain &main = m_alicePlugin->controller();
    const QString outside = m_files->outside();
    QCOMPARE(main.shareFolderWith(outside, {"bob"}), QStringLiteral("vls/alice/outside/root"));
    QCOMPARE(main.shareFolderWith(outside, {"bob"}), QStringLiteral("vls/alice/outside/root"));
    const auto users = main.engine()->getDiscPermittedUsersByPath("outside", "", false);
    QVERIFY(users);
    QCOMPARE(users->childCount(), 1);
    QCOMPARE(main.engine()->getUserPermission("outside", "root", "bob"), 7);
    m_alice->waitIdle();
    m_bob->waitIdle();
    const QList<KvrConfig> told = m_bob->takeAll(GetSharedFolders + ReplySuffix);
    QCOMPARE(told.size(), 2);
    QVERIFY(told[0].gv("discs").contains("vls/alice/outside/root|"));

    QVERIFY(main.stopSharing("outside"));
    const QList<KvrConfig> gone = m_bob->takeAll("wftp:::disconnectDisc:callback");
    QCOMPARE(gone.size(), 1);
    QCOMPARE(gone[0].gv("path"), QStringLiteral("vls/alice/outside"));
    QVERIFY(!main.engine()->getSharedDisc("outside"));
}

void tst_Controller::pagesChangeOnTheirOwnThread()
{
    m_alice->addContact("bob");
    m_alice->addContact("bo");
    WFtpMain &main = m_alicePlugin->controller();
    QList<QThread *> threads;
    for (SharePage *page : {&main.mainPage(), &main.userPage()})
        connect(page, &SharePage::friendDiscsChanged, this, [&threads] { threads << QThread::currentThread(); },
                Qt::DirectConnection);
    m_alicePlugin->setUser("bo");
    const auto push = [this](TestHost &from, const QString &discs) {
        KvrConfig record = WFtpCommands::newRecord(GetSharedFolders + ReplySuffix);
        record.SetResult(true);
        record.sv("discs", discs);
        from.sendCommand(record, "alice", false, QString());
        m_alice->waitIdle();
    };
    push(*m_bob, "vls/bob/Music/root|");
    QTRY_COMPARE(main.mainPage().friendDiscs(), QStringList{"vls/bob/Music/root"});
    // The page for "bo" is not the page for "bob".
    QVERIFY(main.userPage().friendDiscs().isEmpty());
    m_alicePlugin->setUser("bob");
    QCOMPARE(main.userPage().friendDiscs(), QStringList{"vls/bob/Music/root"});

    KvrConfig gone = WFtpCommands::newRecord("wftp:::disconnectDisc:callback");
    gone.sv("path", "vls/bob/Music");
    m_bob->sendCommand(gone, "alice", false, QString());
    m_alice->waitIdle();
    QTRY_VERIFY(main.mainPage().friendDiscs().isEmpty());
    QTRY_VERIFY(main.userPage().friendDiscs().isEmpty());
    QVERIFY(!threads.isEmpty());
    for (QThread *thread : threads)
        QCOMPARE(thread, QThread::currentThread());
}

WIVORA_TEST_GUILESS_MAIN(tst_Controller)
#include "tst_Controller.moc"
