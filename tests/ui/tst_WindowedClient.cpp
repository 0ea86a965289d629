// The program itself, started as a user starts it: logging in with
// remembered credentials, ending in order on SIGTERM and SIGINT (logged out,
// window geometry stored, exit code 0), also when nobody logged in, and a
// second start that only brings the first one up.

#include "QtTestSuite.h"
#include "WindowFixture.h"
#include "WindowedClient.h"

#include <QTest>

namespace {
const QString Alice = QStringLiteral("alice");
}

class tst_WindowedClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice}), qPrintable(m_fixture.sessions.server.errorText()));
    }

    void logsInAndEndsOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void logsInAndEndsOnSignal()
    {
        QFETCH(int, signalNumber);
        WindowedClient client;
        client.setMachineSettings(m_fixture.serviceSettings());
        client.rememberLogin(Alice, WindowFixture::passwordOf(Alice));
        QVERIFY(client.installPlugin(WindowFixture::probePlugin()));
        QVERIFY2(client.start(), qPrintable(client.diagnostics()));
        QVERIFY(client.output().contains(QStringLiteral("logged in as alice")));
        QVERIFY2(client.stop(signalNumber), qPrintable(client.diagnostics()));
        QCOMPARE(client.machineSetting(QStringLiteral("mainwindow/size")).toSize(), QSize(758, 555));
        QVERIFY(client.machineSetting(QStringLiteral("mainwindow/position")).isValid());
    }

    void endsInOrderWhenNobodyLoggedIn()
    {
        WindowedClient client;
        client.setMachineSettings(m_fixture.serviceSettings());
        QVERIFY2(client.start(false), qPrintable(client.diagnostics()));
        QVERIFY2(client.stop(), qPrintable(client.diagnostics()));
        QVERIFY(!client.output().contains(QStringLiteral("logged in")));
        QVERIFY(client.machineSetting(QStringLiteral("mainwindow/size")).isValid());
    }

    // The window opens where it was, unless that is nowhere: the quit stores
    // where it opened.
    void windowGeometryFromLastRun_data()
    {
        QTest::addColumn<QVariant>("storedSize");
        QTest::addColumn<QPoint>("storedPosition");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("position");

        // The offscreen screen is 800 x 600.
        const QPoint centred(400 - 758 / 2, 300 - 555 / 2);
        QTest::newRow("as stored") << QVariant(QSize(600, 400)) << QPoint(50, 60) << QSize(600, 400) << QPoint(50, 60);
        QTest::newRow("width 0 ignored") << QVariant(QSize(0, 400)) << QPoint(20, 30) << QSize(758, 555)
                                         << QPoint(20, 30);
        // Where it was, it would stick out at the right and the bottom: it
        // moves in, frame and all (2 pixels a side offscreen).
        QTest::newRow("moved onto the screen") << QVariant(QSize(758, 555)) << QPoint(100, 100) << QSize(758, 555)
                                               << QPoint(800 - 758 - 4, 600 - 555 - 4);
        QTest::newRow("never stored") << QVariant() << QPoint(0, 0) << QSize(758, 555) << centred;
        QTest::newRow("off every screen") << QVariant(QSize(758, 555)) << QPoint(-5000, 3000) << QSize(758, 555)
                                          << centred;
    }
    void windowGeometryFromLastRun()
    {
        QFETCH(QVariant, storedSize);
        QFETCH(QPoint, storedPosition);
        QFETCH(QSize, size);
        QFETCH(QPoint, position);
        WindowedClient client;
        client.setMachineSettings(m_fixture.serviceSettings());
        if (storedSize.isValid()) {
            client.setMachineSetting(QStringLiteral("mainwindow/size"), storedSize);
            client.setMachineSetting(QStringLiteral("mainwindow/position"), storedPosition);
        }
        QVERIFY2(client.start(false), qPrintable(client.diagnostics()));
        QVERIFY2(client.stop(), qPrintable(client.diagnostics()));
        QCOMPARE(client.machineSetting(QStringLiteral("mainwindow/size")).toSize(), size);
        QCOMPARE(client.machineSetting(QStringLiteral("mainwindow/position")).toPoint(), position);
    }

    void secondStartEndsAtOnce()
    {
        WindowedClient client;
        client.setMachineSettings(m_fixture.serviceSettings());
        client.rememberLogin(Alice, WindowFixture::passwordOf(Alice));
        QVERIFY2(client.start(), qPrintable(client.diagnostics()));
        // A second copy would log in again and run on; the first answers it.
        QCOMPARE(client.startAgain(WindowedClient::StartTimeoutMs), 0);
        QVERIFY(client.isRunning());
        QVERIFY2(client.stop(), qPrintable(client.diagnostics()));
        QCOMPARE(client.output().count(QStringLiteral("logged in as")), 1);
    }

private:
    WindowFixture m_fixture;
};

WIVORA_TEST_MAIN(tst_WindowedClient)
#include "tst_WindowedClient.moc"
