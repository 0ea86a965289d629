// The background update check against a real server's catalogue and
// downloads, with the window-probe plug-in loaded ("Probe", version 1): what
// a round asks, what it stages and when, how fast it stops, and that a
// logout never waits for a request to a server that does not answer.

#include "QtTestSuite.h"
#include "InstallerOffer.h"
#include "SessionPanelFixture.h"
#include "UpdateCheck.h"
#include "WPluginManager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

namespace {

const QString Alice = QStringLiteral("alice");
// Short rounds, so that a test sees the next one.
const int RoundMs = 300;

QStringList stagedFiles()
{
    return QDir(WPluginManager::updateFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// stop() returns at once; the task and its last reports end on their own.
bool stopAndLetEnd(UpdateCheck &check)
{
    check.stop();
    const bool ended = QTest::qWaitFor([&] { return !check.isRunning(); }, 15000);
    QCoreApplication::processEvents();
    return ended;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_UpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice}), qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        MainClass::instance()->pluginManager()->loadPlugins();
        QVERIFY(MainClass::instance()->pluginManager()->isPluginLoaded(QStringLiteral("Probe")));
        QVERIFY(QDir(m_fixture.sessions.server.dataDir()).mkpath(QStringLiteral("downloads")));
        QVERIFY(MainClass::instance()->login(Alice, WindowFixture::passwordOf(Alice)));
    }
    void cleanupTestCase() { MainClass::instance()->logout(); }
    void init()
    {
        QDir(WPluginManager::updateFolder()).removeRecursively();
        QFile::remove(catalogue());
    }

    void noOfferAsksOncePerRoundAndWritesNothing()
    {
        const int clientAsked = serverRequests(m_fixture, QStringLiteral("CheckClientUpdate"));
        const int pluginAsked = serverRequests(m_fixture, QStringLiteral("CheckPluginUpdate"));
        UpdateCheck check(UpdateCheck::DefaultRoundIntervalMs);
        QSignalSpy bars(&check, &UpdateCheck::signalAddProgressBar);
        check.start();
        QTRY_COMPARE(serverRequests(m_fixture, QStringLiteral("CheckPluginUpdate")), pluginAsked + 1);
        QTest::qWait(RoundMs);
        QCOMPARE(serverRequests(m_fixture, QStringLiteral("CheckClientUpdate")), clientAsked + 1);
        QCOMPARE(serverRequests(m_fixture, QStringLiteral("CheckPluginUpdate")), pluginAsked + 1);
        QVERIFY(stopAndLetEnd(check));
        QCOMPARE(bars.count(), 0);
        QCOMPARE(stagedFiles(), QStringList());
    }

    // Offers land under their names with the served bytes, once: later
    // rounds fetch nothing again; the bar comes and goes with each download.
    void offersStagedOnce()
    {
        serve(QStringLiteral("wivora-1022.tar.gz"), "installer bytes");
        serve(QStringLiteral("libprobe.so"), "new probe");
        publish("[client]\nsize=1\n1\\platform=linux\n1\\build=1022\n1\\file=wivora-1022.tar.gz\n"
                "[plugins]\nsize=1\n1\\name=Probe\n1\\platform=linux\n1\\version=2\n1\\file=libprobe.so\n");
        const int fetched = downloads();
        UpdateCheck check(RoundMs);
        QSignalSpy added(&check, &UpdateCheck::signalAddProgressBar);
        QSignalSpy removed(&check, &UpdateCheck::signalRemoveProgressbar);
        const int clientAsked = serverRequests(m_fixture, QStringLiteral("CheckClientUpdate"));
        check.start();
        QTRY_COMPARE(serverRequests(m_fixture, QStringLiteral("CheckClientUpdate")), clientAsked + 3);
        QVERIFY(stopAndLetEnd(check));
        QCOMPARE(contents(InstallerOffer::installerPath()), QByteArray("installer bytes"));
        QCOMPARE(contents(WPluginManager::updateFolder() + QStringLiteral("/libprobe.so")), QByteArray("new probe"));
        QCOMPARE(stagedFiles(), (QStringList{QStringLiteral("libprobe.so"), QStringLiteral("setup1021.exe")}));
        QCOMPARE(downloads() - fetched, 2);
        QCOMPARE(added.count(), 2);
        QCOMPARE(removed.count(), 2);
    }

    // An error answer stages nothing and is asked for again next round.
    void errorRetriedNextRound()
    {
        publish("[plugins]\nsize=1\n1\\name=Probe\n1\\platform=linux\n1\\version=2\n1\\file=libmissing.so\n");
        const int fetched = downloads();
        UpdateCheck check(RoundMs);
        QSignalSpy removed(&check, &UpdateCheck::signalRemoveProgressbar);
        check.start();
        QTRY_VERIFY(downloads() - fetched >= 2);
        QVERIFY(stopAndLetEnd(check));
        QCOMPARE(stagedFiles(), QStringList());
        QCOMPARE(removed.count(), downloads() - fetched);
    }

    // Stopping (a logout) during the wait between rounds ends the task at
    // once; starting again (a login) runs a round at once.
    void stopDuringWaitAndStartAgain()
    {
        UpdateCheck check(UpdateCheck::DefaultRoundIntervalMs);
        const int asked = serverRequests(m_fixture, QStringLiteral("CheckPluginUpdate"));
        check.start();
        QTRY_COMPARE(serverRequests(m_fixture, QStringLiteral("CheckPluginUpdate")), asked + 1);
        QElapsedTimer clock;
        clock.start();
        // The task notices within 50 ms; generous for a loaded machine.
        QVERIFY(stopAndLetEnd(check));
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        check.start();
        QTRY_COMPARE(serverRequests(m_fixture, QStringLiteral("CheckPluginUpdate")), asked + 2);
        QVERIFY(stopAndLetEnd(check));
    }

    // A logout while the server does not answer: stopping and deleting the
    // check return at once though its request waits out its timeout, and
    // the task, answered later, touches nothing of the deleted check (the
    // sanitizer build catches it if it does).
    void logoutNeverWaitsForAFrozenServer()
    {
        const pid_t server = pid_t(m_fixture.sessions.server.processId());
        const int asked = serverRequests(m_fixture, QStringLiteral("CheckClientUpdate"));
        QCOMPARE(::kill(server, SIGSTOP), 0);
        auto thaw = qScopeGuard([server] { ::kill(server, SIGCONT); });
        auto *check = new UpdateCheck(RoundMs);
        QSignalSpy bars(check, &UpdateCheck::signalAddProgressBar);
        check->start();
        // Time to send the first question, which the frozen server holds.
        QTest::qWait(300);
        QElapsedTimer clock;
        clock.start();
        check->stop();
        delete check;
        // Far below the request's 10 s timeout; generous for a loaded machine.
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        thaw.dismiss();
        QCOMPARE(::kill(server, SIGCONT), 0);
        // The held question is answered; the task ends without asking more.
        QTRY_COMPARE_WITH_TIMEOUT(serverRequests(m_fixture, QStringLiteral("CheckClientUpdate")), asked + 1, 15000);
        const int pluginAsked = serverRequests(m_fixture, QStringLiteral("CheckPluginUpdate"));
        QTest::qWait(3 * RoundMs);
        QCOMPARE(serverRequests(m_fixture, QStringLiteral("CheckPluginUpdate")), pluginAsked);
        QCOMPARE(bars.count(), 0);
    }

private:
    QString catalogue() const { return QDir(m_fixture.sessions.server.dataDir()).filePath(QStringLiteral("catalogue.ini")); }
    void publish(const QByteArray &text)
    {
        QFile file(catalogue());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    void serve(const QString &name, const QByteArray &bytes)
    {
        QFile file(QDir(m_fixture.sessions.server.dataDir()).filePath(QStringLiteral("downloads/") + name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    int downloads() const { return m_fixture.sessions.server.output().count(QStringLiteral("GET /downloads/")); }

    WindowFixture m_fixture;
};

WIVORA_TEST_MAIN(tst_UpdateCheck)
#include "tst_UpdateCheck.moc"
