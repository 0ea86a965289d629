// Two windowed clients against the stand-in service, each driven through the
// window-probe plug-in as a user would drive it: alice finds and adds bob,
// bob accepts alice, bob's status and avatar reach alice's windows, bob
// deletes alice, and a client quits with a question open.

#include "QtTestSuite.h"
#include "WindowFixture.h"
#include "WindowProbeClient.h"
#include "WindowedClient.h"

#include <QDeadlineTimer>
#include <functional>
#include <QImage>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
const QString Stranger = QStringLiteral("stranger");

using Driver = WindowProbeClient;

} // namespace

class tst_TwoClients : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice, Bob, Stranger}), qPrintable(m_fixture.sessions.server.errorText()));
        for (auto *client : {&m_alice, &m_bob}) {
            client->setMachineSettings(m_fixture.serviceSettings());
            QVERIFY(client->installPlugin(WindowFixture::probePlugin()));
        }
        m_alice.rememberLogin(Alice, WindowFixture::passwordOf(Alice));
        m_bob.rememberLogin(Bob, WindowFixture::passwordOf(Bob));
        QVERIFY2(m_alice.start(), qPrintable(m_alice.diagnostics()));
        QVERIFY2(m_bob.start(), qPrintable(m_bob.diagnostics()));
    }

    void aliceAddsBob()
    {
        Driver alice(m_alice);
        QCOMPARE(alice.ask(QStringLiteral("rows")), QString());
        QCOMPARE(alice.ask(QStringLiteral("add bob")), QStringLiteral("ok"));
        QCOMPARE(alice.waitFor(QStringLiteral("rows"), [](const QString &rows) { return rows.endsWith(QLatin1String("bob")); }),
                 QStringLiteral("01bob"));
    }

    void bobAcceptsAlice()
    {
        Driver bob(m_bob);
        QCOMPARE(bob.ask(QStringLiteral("ask alice")), QStringLiteral("asked"));
        QCOMPARE(bob.waitFor(QStringLiteral("answer yes"), [](const QString &answer) { return answer != QLatin1String("no question"); }),
                 QStringLiteral("User alice wants to send you message. Do you want to accept this request?"));
        QCOMPARE(bob.waitFor(QStringLiteral("accepted"), [](const QString &answer) { return answer != QLatin1String("pending"); }),
                 QStringLiteral("1"));
        QCOMPARE(bob.waitFor(QStringLiteral("rows"), [](const QString &rows) { return rows.endsWith(QLatin1String("alice")); }),
                 QStringLiteral("01alice"));
    }

    void bobsStatusOnAlicesRow()
    {
        Driver alice(m_alice);
        Driver bob(m_bob);
        QCOMPARE(bob.ask(QStringLiteral("action actionAway")), QStringLiteral("ok"));
        QCOMPARE(alice.waitFor(QStringLiteral("rows"), [](const QString &rows) { return rows == QLatin1String("02bob"); }),
                 QStringLiteral("02bob"));
    }

    void bobsAvatarRefreshesAlicesProfileView()
    {
        Driver alice(m_alice);
        Driver bob(m_bob);
        QCOMPARE(alice.ask(QStringLiteral("show bob")), QStringLiteral("ok"));
        const QString before = alice.ask(QStringLiteral("profile"));
        QVERIFY(before.startsWith(QLatin1String("bob|")));
        QTemporaryDir pictures;
        QImage picture(300, 200, QImage::Format_RGB32);
        picture.fill(Qt::darkMagenta);
        const QString path = pictures.filePath(QStringLiteral("bob.png"));
        QVERIFY(picture.save(path));
        QCOMPARE(bob.ask(QStringLiteral("avatar ") + path), QStringLiteral("ok"));
        const QString after = alice.waitFor(QStringLiteral("profile"), [before](const QString &profile) { return profile != before; });
        QVERIFY2(after != before, qPrintable(after));
        QVERIFY(after.startsWith(QLatin1String("bob|")));
    }

    void bobDeletesAlice()
    {
        Driver bob(m_bob);
        QCOMPARE(bob.ask(QStringLiteral("delete alice")), QStringLiteral("ok"));
        QCOMPARE(bob.ask(QStringLiteral("rows")), QString());
    }

    // The question stays open; the quit answers it No and ends with code 0.
    void quitWithQuestionOpen()
    {
        Driver alice(m_alice);
        QCOMPARE(alice.ask(QStringLiteral("ask stranger")), QStringLiteral("asked"));
        QTest::qWait(500);
        QVERIFY2(m_alice.stop(), qPrintable(m_alice.diagnostics()));
        QVERIFY2(m_bob.stop(), qPrintable(m_bob.diagnostics()));
    }

private:
    WindowFixture m_fixture;
    WindowedClient m_alice;
    WindowedClient m_bob;
};

WIVORA_TEST_MAIN(tst_TwoClients)
#include "tst_TwoClients.moc"
