// The session controller against a real wivora-server, with the echo plug-in
// loaded: login and the account file, logout, the reconnect of a lost server
// link, the status refresh, and the host operations plug-ins use. A second
// user, when one is needed, is a link layer of its own in this process.

#include "QtTestSuite.h"
#include "EchoFixture.h"
#include "EchoProbe.h"
#include "LinkTestClient.h"
#include "MainClass.h"

#include <IWPlugin.h>
#include <PSettings.h>
#include <TcpConnection.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <mutex>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
const QString Carol = QStringLiteral("carol");
const QString Dave = QStringLiteral("dave");
const QString MarkerSetting = QStringLiteral("test/marker");

// Failure bounds only: each wait ends as soon as its condition holds.
constexpr int LinkTimeoutMs = 30000;

QString accountFile(const QString &user)
{
    return SessionState::userFolder(user) + QStringLiteral("/account.acc");
}

// The account a text opens to with the user's password; null when it does not open.
QSharedPointer<WivoraAccount> openText(const QString &text, const QString &user)
{
    auto account = QSharedPointer<WivoraAccount>::create();
    return account->openAccount(text, ClientSessionFixture::passwordOf(user), true) ? account
                                                                                    : QSharedPointer<WivoraAccount>();
}

QSharedPointer<WivoraAccount> openFile(const QString &user)
{
    QFile file(accountFile(user));
    return file.open(QIODevice::ReadOnly) ? openText(QString::fromLatin1(file.readAll()), user)
                                          : QSharedPointer<WivoraAccount>();
}

bool writeFile(const QString &path, const QString &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text.toLatin1()) == text.size();
}

QStringList names(const QList<EchoEvent> &events, EchoEvent::Kind kind)
{
    QStringList found;
    for (const EchoEvent &event : events) {
        if (event.kind == kind)
            found << event.name;
    }
    return found;
}

// The record with that "ID" from the client's input list. The wait keeps this
// thread's events flowing: the session under test serves its links and the
// server's pushes from here.
KvrConfig receivedBy(LinkTestClient &client, const QString &id)
{
    KvrConfig found;
    const QDeadlineTimer deadline(LinkTimeoutMs);
    while ((found = client.commands.takeInputCommand(id)).isEmpty() && !deadline.hasExpired())
        QTest::qWait(10);
    return found;
}

// The status texts the session shows, recorded from whichever thread sets
// them: a reconnect sets them from its own while the test reads them.
class StatusTextLog
{
public:
    explicit StatusTextLog(WSignalsDispatcher *dispatcher)
        : m_connection(QObject::connect(dispatcher, &WSignalsDispatcher::signalSetStatusText,
                                        [this](const QString &text) {
                                            std::lock_guard<std::mutex> lock(m_mutex);
                                            m_texts << text;
                                        }))
        , m_reachableConnection(QObject::connect(dispatcher, &WSignalsDispatcher::signalServiceReachable,
                                                 [this](bool reachable) {
                                                     std::lock_guard<std::mutex> lock(m_mutex);
                                                     m_reachable << reachable;
                                                 }))
    {
    }
    ~StatusTextLog()
    {
        QObject::disconnect(m_connection);
        QObject::disconnect(m_reachableConnection);
    }
    StatusTextLog(const StatusTextLog &) = delete;
    StatusTextLog &operator=(const StatusTextLog &) = delete;

    QStringList texts() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_texts;
    }
    // What the session said of the service, in order: lost (false), back (true).
    QList<bool> reachability() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reachable;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_texts;
    QList<bool> m_reachable;
    QMetaObject::Connection m_connection; // last: set up once the rest is
    QMetaObject::Connection m_reachableConnection;
};

KvrConfig command(const QString &name)
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), name);
    return record;
}

} // namespace

class tst_MainClass : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void loginPicksTheNewerAccountCopy_data();
    void loginPicksTheNewerAccountCopy();
    void lossWithoutSessionStartsNoReconnect_data();
    void lossWithoutSessionStartsNoReconnect();
    void quitDuringLoginLogsOutWhenLoginReturns();
    void pluginStoragePathIsTheUsersFolder();
    void statusRefreshReportsEveryContact();
    void hostRoutesRecordsOverUserLinks();
    void setUserActivityChangesContactsOnly_data();
    void setUserActivityChangesContactsOnly();
    void isUserAcceptedAsksOnlyAboutStrangers_data();
    void isUserAcceptedAsksOnlyAboutStrangers();
    void reconnectAfterTheServerCameBack();
    void logoutDuringReconnectEndsIt();
    void queueExchangeCommandTellsWhetherItQueued_data();
    void queueExchangeCommandTellsWhetherItQueued();

private:
    // Saves text as the user's server copy; the server's save time after it.
    QDateTime saveOnServer(const QString &user, const QString &text);
    // The user's server copy with MarkerSetting set to marker, sealed again.
    QString markedText(const QString &user, const QString &marker);
    bool loginAsAlice();

    ClientSessionFixture m_fixture;
    MainClass *m_session = nullptr;
    EchoProbe *m_echo = nullptr;
    QString m_daveText; // dave's first server copy
};

void tst_MainClass::initTestCase()
{
    // The folders of this test belong to it alone; start them empty.
    QVERIFY(QDir(PSettings::GetStoragePath()).removeRecursively());
    ServerProcess &server = m_fixture.server;
    for (const QString &user : {Alice, Bob, Carol, Dave})
        QVERIFY(server.addUser(user, ClientSessionFixture::passwordOf(user)));
    QVERIFY(server.addContact(Alice, Bob));
    QVERIFY(server.addContact(Alice, Carol));
    QVERIFY2(m_fixture.start({}), qPrintable(server.errorText()));

    // Alice listens on a port nobody else on this machine uses.
    const QSharedPointer<TcpConnection> link = m_fixture.loggedInLink(Alice);
    QVERIFY(link);
    const QSharedPointer<WivoraAccount> alice = openText(WServerCommands::getAccount(link), Alice);
    QVERIFY(alice);
    alice->settingsData->setSetting(QStringLiteral("servers/tcpport"),
                                    QByteArray::number(LinkTestClient::freePort()));
    QVERIFY(WServerCommands::saveAccount(alice->saveAccount(), link));
    link->disconnectFromHost();

    const QSharedPointer<TcpConnection> daveLink = m_fixture.loggedInLink(Dave);
    QVERIFY(daveLink);
    m_daveText = WServerCommands::getAccount(daveLink);
    QVERIFY(openText(m_daveText, Dave));
    daveLink->disconnectFromHost();

    QVERIFY(QDir().mkpath(PSettings::GetStoragePath(QStringLiteral("plugins"))));
    QVERIFY(copyEchoPlugin(PSettings::GetStoragePath(QStringLiteral("plugins/libecho.so"))));
    m_session = MainClass::instance();
    QCOMPARE(MainClass::instance(), m_session);
    m_session->pluginManager()->loadPlugins();
    QCOMPARE(m_session->pluginManager()->plugins().size(), 1);
    m_echo = qobject_cast<EchoProbe *>(m_session->pluginManager()->plugins().first().instance);
    QVERIFY(m_echo);
    QCOMPARE(m_echo->host(), static_cast<IWHost *>(m_session));
}

void tst_MainClass::cleanup()
{
    if (m_session->isLoggedIn())
        m_session->logout();
    if (!m_fixture.server.isRunning())
        QVERIFY(m_fixture.server.start());
    m_echo->clearEvents();
}

QDateTime tst_MainClass::saveOnServer(const QString &user, const QString &text)
{
    const QSharedPointer<TcpConnection> link = m_fixture.loggedInLink(user);
    if (!link || !WServerCommands::saveAccount(text, link))
        return QDateTime();
    const QDateTime saved = WServerCommands::getLastAccountSaveTime(link);
    link->disconnectFromHost();
    return saved;
}

QString tst_MainClass::markedText(const QString &user, const QString &marker)
{
    const QSharedPointer<WivoraAccount> account = openText(m_daveText, user);
    account->settingsData->setSetting(MarkerSetting, marker.toLatin1());
    return account->saveAccount();
}

bool tst_MainClass::loginAsAlice()
{
    return m_session->login(Alice, ClientSessionFixture::passwordOf(Alice));
}

void tst_MainClass::loginPicksTheNewerAccountCopy_data()
{
    QTest::addColumn<QString>("typedName");
    QTest::addColumn<QString>("serverCopy");   // marker of the server's copy; "-" for an empty copy
    QTest::addColumn<QString>("localCopy");    // marker of the local file; "" for no file
    QTest::addColumn<int>("localStampDays");   // the local save time minus the server's
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<QString>("usedCopy");     // marker of the account in use, then of the file

    QTest::newRow("no local file") << Dave << "server" << "" << 0 << true << "server";
    QTest::newRow("local file older") << Dave << "server" << "local" << -1 << true << "server";
    QTest::newRow("local file newer") << Dave << "server" << "local" << 1 << true << "local";
    QTest::newRow("local file as new") << Dave << "server" << "local" << 0 << true << "local";
    QTest::newRow("name typed with capitals") << "DaVe" << "server" << "local" << 1 << true << "local";
    QTest::newRow("newer server copy empty") << Dave << "-" << "local" << -1 << true << "local";
    QTest::newRow("no copy anywhere") << Dave << "-" << "" << 0 << false << "";
}

void tst_MainClass::loginPicksTheNewerAccountCopy()
{
    QFETCH(QString, typedName);
    QFETCH(QString, serverCopy);
    QFETCH(QString, localCopy);
    QFETCH(int, localStampDays);
    QFETCH(bool, loggedIn);
    QFETCH(QString, usedCopy);

    const QDateTime serverTime = saveOnServer(Dave, serverCopy == QLatin1String("-") ? QString()
                                                                                   : markedText(Dave, serverCopy));
    QVERIFY(serverTime.isValid());
    QVERIFY(QDir(SessionState::userFolder(Dave)).removeRecursively());
    if (!localCopy.isEmpty())
        QVERIFY(writeFile(accountFile(Dave), markedText(Dave, localCopy)));
    PSettings::RemoveValue(QStringLiteral("lastAccountSaveTime"));
    PSettings::SetValue(QStringLiteral("lastAccountSaveTime/") + Dave, serverTime.addDays(localStampDays));

    QCOMPARE(m_session->login(typedName, ClientSessionFixture::passwordOf(Dave)), loggedIn);
    QCOMPARE(m_session->isLoggedIn(), loggedIn);
    if (!loggedIn) {
        QVERIFY(!m_session->getServerConnection()->isConnected());
        QVERIFY(!QFile::exists(accountFile(Dave)));
        return;
    }
    QCOMPARE(m_session->getAccount()->settingsData->getSetting(MarkerSetting), usedCopy.toLatin1());
    // One folder whatever the case typed; the file opens to the account in
    // use and never holds the password kept for reconnects.
    const QSharedPointer<WivoraAccount> file = openFile(Dave);
    QVERIFY(file);
    QCOMPARE(file->settingsData->getSetting(MarkerSetting), usedCopy.toLatin1());
    QVERIFY(!file->CheckKeyExist(QStringLiteral("tempPassword")));
    QVERIFY(m_session->getServerConnection()->isConnected());
}

void tst_MainClass::lossWithoutSessionStartsNoReconnect_data()
{
    QTest::addColumn<QString>("before");
    QTest::newRow("nobody logged in") << "";
    QTest::newRow("after a refused login") << "refused";
    QTest::newRow("after logout") << "logout";
}

void tst_MainClass::lossWithoutSessionStartsNoReconnect()
{
    QFETCH(QString, before);
    StatusTextLog statusTexts(m_session->signalsDispatcher());

    if (before == QLatin1String("refused")) {
        QVERIFY(!m_session->login(Alice, QStringLiteral("wrong password")));
        QVERIFY(!m_session->getServerConnection()->isConnected());
    } else if (before == QLatin1String("logout")) {
        QVERIFY(loginAsAlice());
        QVERIFY(m_session->logout());
        QVERIFY(!m_session->getServerConnection()->isConnected());
        QVERIFY(m_session->getAccount()->getUserName().isEmpty());
    }
    // The link's end, announced from its own thread, arrives meanwhile.
    QTest::qWait(200);
    m_session->slotMainServerConnectionLost();

    QVERIFY(!m_session->isReconnecting());
    QVERIFY2(statusTexts.texts().isEmpty(), qPrintable(statusTexts.texts().join(QLatin1Char(','))));
}

void tst_MainClass::quitDuringLoginLogsOutWhenLoginReturns()
{
    // Fires at the login's first wait that keeps events flowing.
    QTimer::singleShot(0, m_session, [this] { m_session->logout(); });
    QVERIFY(!loginAsAlice());

    QVERIFY(!m_session->isLoggedIn());
    QVERIFY(!m_session->getServerConnection()->isConnected());
    QVERIFY(m_session->getAccount()->getUserName().isEmpty());
    const QStringList calls = names(m_echo->events(), EchoEvent::Call);
    QCOMPARE(calls.filter(QStringLiteral("Plugin")),
             QStringList({QStringLiteral("initPlugin"), QStringLiteral("closePlugin")}));
}

void tst_MainClass::pluginStoragePathIsTheUsersFolder()
{
    QVERIFY(m_session->login(QStringLiteral("Alice"), ClientSessionFixture::passwordOf(Alice)));
    QCOMPARE(m_session->getPluginStoragePath(QStringLiteral("echo")),
             PSettings::GetStoragePath() + QStringLiteral("/pluginsstorage/alice/echo"));
}

void tst_MainClass::statusRefreshReportsEveryContact()
{
    LinkTestClient bob; // online; carol is not
    QVERIFY(bob.start(m_fixture, Bob, false));
    QVERIFY(loginAsAlice());

    const auto edited = [this] {
        QStringList users;
        for (const EchoEvent &event : m_echo->events()) {
            if (event.name == QLatin1String("signalContactEdited"))
                users << event.params.value(QStringLiteral("username")).toString();
        }
        users.sort();
        return users;
    };
    QTRY_COMPARE_WITH_TIMEOUT(edited(), QStringList({Bob, Carol}), LinkTimeoutMs);
    const QSharedPointer<WDataStructure> contacts = m_session->getAccount()->contactsData;
    QCOMPARE(contacts->getSetting(Carol + QStringLiteral("/status")), QByteArray("0"));
    QVERIFY(!contacts->getSetting(Bob + QStringLiteral("/status")).isEmpty());
    QVERIFY(contacts->getSetting(Bob + QStringLiteral("/status")) != QByteArray("0"));
}

void tst_MainClass::hostRoutesRecordsOverUserLinks()
{
    LinkTestClient bob;
    QVERIFY(bob.start(m_fixture, Bob));
    QVERIFY(loginAsAlice());

    // Bob's request reaches the echo plug-in, whose reply leaves through
    // sendCommand, marked binary, on the link that brought the request.
    KvrConfig request = command(QStringLiteral("echo:::ping"));
    request.sv(QStringLiteral("payload"), QStringLiteral("x"));
    const KvrConfig reply = receivedBy(bob, bob.send(request, Alice));
    QCOMPARE(reply.gv(QStringLiteral("command")), QStringLiteral("echo:::ping:callback"));
    QCOMPARE(reply.gv(QStringLiteral("payload")), QStringLiteral("x"));
    KvrConfig binary;
    binary.SetValue(QStringLiteral("binary"), true);
    QCOMPARE(reply.GetValue(QStringLiteral("binary")), binary.GetValue(QStringLiteral("binary")));

    // A record no plug-in claims waits for takeInputCommand, once.
    const QString id = bob.send(command(QStringLiteral("other:::note")), Alice);
    // (The echo plug-in's wait polls the host's takeInputCommand.)
    const KvrConfig taken = m_echo->waitForRecord(id, LinkTimeoutMs);
    QCOMPARE(taken.GetID(), id);
    QCOMPARE(taken.gv(QStringLiteral("Wivora::sender")), Bob);
    QVERIFY(m_session->takeInputCommand(id).isEmpty());

    // A new link every time.
    const QString first = m_session->openUserConnection(Bob, false);
    const QString second = m_session->openUserConnection(Bob, false);
    QVERIFY(!first.isEmpty());
    QVERIFY(!second.isEmpty());
    QVERIFY(first != second);
    QVERIFY(m_session->isConnectionActive(first));
    QVERIFY(m_session->hasUserConnection(Bob, false));
    m_session->closeConnection(first);
    QTRY_VERIFY_WITH_TIMEOUT(!m_session->isConnectionActive(first), LinkTimeoutMs);
}

void tst_MainClass::setUserActivityChangesContactsOnly_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QByteArray>("stored");

    QTest::newRow("contact, on") << Bob << true << QByteArray("1");
    QTest::newRow("contact, off") << Bob << false << QByteArray("0");
    QTest::newRow("stranger") << QStringLiteral("zed") << true << QByteArray();
}

void tst_MainClass::setUserActivityChangesContactsOnly()
{
    QFETCH(QString, user);
    QFETCH(bool, active);
    QFETCH(QByteArray, stored);
    QVERIFY(loginAsAlice());
    const QSharedPointer<WDataStructure> contacts = m_session->getAccount()->contactsData;
    const int contactCount = contacts->childCount();

    m_session->setUserActivity(user, QStringLiteral("echo"), active);

    QCOMPARE(contacts->getSetting(user + QStringLiteral("/activities/echo")), stored);
    QCOMPARE(contacts->childCount(), contactCount);
}

void tst_MainClass::isUserAcceptedAsksOnlyAboutStrangers_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("questions");

    QTest::newRow("contact") << Bob << WSignalsDispatcher::AnswerNo << true << 0;
    QTest::newRow("stranger, no") << QStringLiteral("zed") << WSignalsDispatcher::AnswerNo << false << 1;
    QTest::newRow("stranger, yes") << QStringLiteral("zed") << WSignalsDispatcher::AnswerYes << true << 1;
}

void tst_MainClass::isUserAcceptedAsksOnlyAboutStrangers()
{
    QFETCH(QString, user);
    QFETCH(int, answer);
    QFETCH(bool, accepted);
    QFETCH(int, questions);
    QVERIFY(loginAsAlice());
    WSignalsDispatcher *dispatcher = m_session->signalsDispatcher();
    QStringList asked;
    // Answered the way the contact list answers: after the question is shown.
    const QMetaObject::Connection answering = connect(
        dispatcher, &WSignalsDispatcher::signalAcceptNewUser, this,
        [&](const QString &stranger) {
            asked << stranger;
            dispatcher->setAcceptAnswer(answer);
        },
        Qt::QueuedConnection);

    const bool result = m_session->isUserAccepted(user);
    disconnect(answering);

    QCOMPARE(result, accepted);
    QCOMPARE(asked.size(), questions);
}

void tst_MainClass::reconnectAfterTheServerCameBack()
{
    QVERIFY(loginAsAlice());
    m_echo->clearEvents();
    StatusTextLog statusTexts(m_session->signalsDispatcher());

    QVERIFY(m_fixture.server.stop());
    QTRY_VERIFY_WITH_TIMEOUT(!statusTexts.texts().isEmpty(), LinkTimeoutMs);
    QCOMPARE(statusTexts.texts().first(), QStringLiteral("not connected"));
    QTRY_COMPARE(statusTexts.reachability(), QList<bool>{false});
    QVERIFY(m_session->isReconnecting());

    QVERIFY(m_fixture.server.start());
    QTRY_VERIFY_WITH_TIMEOUT(!m_session->isReconnecting(), LinkTimeoutMs);
    const QStringList texts = statusTexts.texts();
    QCOMPARE(texts.mid(texts.size() - 2), QStringList({QStringLiteral("connecting"), QStringLiteral("connected")}));
    QCOMPARE(statusTexts.reachability(), (QList<bool>{false, true}));
    QVERIFY(m_session->getServerConnection()->isConnected());

    // The plug-ins start again, from the reconnect's own thread.
    QList<EchoEvent> calls = m_echo->events();
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const EchoEvent &event) { return event.kind != EchoEvent::Call; }),
                calls.end());
    QCOMPARE(names(calls, EchoEvent::Call), QStringList({QStringLiteral("initPlugin")}));
    QVERIFY(calls.first().thread != QThread::currentThreadId());
}

void tst_MainClass::logoutDuringReconnectEndsIt()
{
    QVERIFY(loginAsAlice());
    QVERIFY(m_fixture.server.stop());
    QTRY_VERIFY_WITH_TIMEOUT(m_session->isReconnecting(), LinkTimeoutMs);

    QVERIFY(m_session->logout());
    QVERIFY(!m_session->isReconnecting());

    // With the server back nothing logs in again: the session is over.
    QVERIFY(m_fixture.server.start());
    StatusTextLog statusTexts(m_session->signalsDispatcher());
    m_session->slotMainServerConnectionLost();
    QVERIFY(!m_session->isReconnecting());
    QVERIFY(statusTexts.texts().isEmpty());
    QVERIFY(!m_session->getServerConnection()->isConnected());
}

void tst_MainClass::queueExchangeCommandTellsWhetherItQueued_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<QString>("receiver");
    QTest::addColumn<bool>("queued");

    QTest::newRow("logged in") << true << Bob << true;
    QTest::newRow("nobody logged in") << false << Bob << false;
    QTest::newRow("no receiver") << true << QString() << false;
}

void tst_MainClass::queueExchangeCommandTellsWhetherItQueued()
{
    QFETCH(bool, loggedIn);
    QFETCH(QString, receiver);
    QFETCH(bool, queued);
    if (loggedIn)
        QVERIFY(loginAsAlice());

    QCOMPARE(m_session->queueExchangeCommand(receiver, command(QStringLiteral("echo:::note"))), queued);
}

WIVORA_TEST_MAIN(tst_MainClass)
#include "tst_MainClass.moc"
