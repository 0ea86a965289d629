#include "QtTestSuite.h"
#include "EchoFixture.h"
#include "EchoProbe.h"
#include "WPluginManager.h"
#include "WSignalsDispatcher.h"

#include <QDir>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

enum class Raise {
    UserStatusChanged,
    NewContactAdded,
    ContactEdited,
    ContactDeleted,
    PersonalDataChanged,
    UserViewWidgetChanged,
    RequestLogout,
    DisplayActivityNotification,
    ShowMainWindow,
    SetStatusText,
};

void raise(WSignalsDispatcher &dispatcher, Raise what)
{
    switch (what) {
    case Raise::UserStatusChanged: dispatcher.userStatusChanged(3); break;
    case Raise::NewContactAdded: dispatcher.newContactAdded(QStringLiteral("bob")); break;
    case Raise::ContactEdited: dispatcher.contactEdited(QStringLiteral("carol")); break;
    case Raise::ContactDeleted: dispatcher.contactDeleted(QStringLiteral("dave")); break;
    case Raise::PersonalDataChanged: dispatcher.personalDataChanged(); break;
    case Raise::UserViewWidgetChanged: dispatcher.userViewWidgetChanged(QStringLiteral("erin"), QStringLiteral("files")); break;
    case Raise::RequestLogout: dispatcher.requestLogout(); break;
    case Raise::DisplayActivityNotification: dispatcher.displayActivityNotification(QStringLiteral("hello")); break;
    case Raise::ShowMainWindow: dispatcher.showMainWindow(); break;
    case Raise::SetStatusText: dispatcher.setStatusText(QStringLiteral("connected")); break;
    }
}

// One spy per Qt signal of the dispatcher, keyed by the signal's name.
class SignalSpies
{
public:
    explicit SignalSpies(WSignalsDispatcher *dispatcher)
    {
        const QMetaObject &meta = WSignalsDispatcher::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            if (method.methodType() == QMetaMethod::Signal)
                m_spies[method.name()] = std::make_shared<QSignalSpy>(dispatcher, method);
        }
    }

    // The names of the signals that fired, and the arguments of each emission.
    QMap<QByteArray, QList<QVariantList>> fired() const
    {
        QMap<QByteArray, QList<QVariantList>> result;
        for (auto it = m_spies.cbegin(); it != m_spies.cend(); ++it) {
            if (!it.value()->isEmpty())
                result.insert(it.key(), *it.value());
        }
        return result;
    }

private:
    QMap<QByteArray, std::shared_ptr<QSignalSpy>> m_spies;
};

QList<EchoEvent> signalEventsOf(EchoProbe *probe)
{
    QList<EchoEvent> events;
    for (const EchoEvent &event : probe->events()) {
        if (event.kind == EchoEvent::Signal)
            events << event;
    }
    return events;
}

// Asks on a thread of its own and keeps the answer.
struct Asker
{
    explicit Asker(WSignalsDispatcher *dispatcher, const QString &user)
        : dispatcher(dispatcher),
          thread(QThread::create([this, dispatcher, user] { accepted = dispatcher->acceptNewUser(user); }))
    {
        thread->start();
    }
    // A failed test may leave the question open: answer until it returns.
    ~Asker()
    {
        while (!thread->wait(10))
            dispatcher->setAcceptAnswer(WSignalsDispatcher::AnswerNo);
    }

    WSignalsDispatcher *const dispatcher;
    std::atomic<bool> accepted{false};
    std::unique_ptr<QThread> thread;
};

} // namespace

Q_DECLARE_METATYPE(Raise)

class tst_WSignalsDispatcher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void raisesSignalAndReachesPlugins_data();
    void raisesSignalAndReachesPlugins();
    void withoutPluginsStillSignals_data();
    void withoutPluginsStillSignals();
    void pluginsHearOnTheRaisingThread();
    void answerDecides_data();
    void answerDecides();
    void questionsFromTwoThreadsTakeTurns();
    void nestedQuestionOnOneThreadWaitsItsTurn();
    void strayAnswerIsIgnored();
    void questionsAreAnsweredNoAtShutdown();

private:
    QTemporaryDir m_home;
    WPluginManager m_plugins;
    QList<EchoProbe *> m_probes; // in load order
    EchoJournal m_journal;
};

void tst_WSignalsDispatcher::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
    const QString folder = WPluginManager::pluginsFolder();
    QVERIFY(QDir().mkpath(folder));
    for (const char *name : {"b-echo.so", "a-echo.so", "C-echo.so"})
        QVERIFY(copyEchoPlugin(folder + QLatin1Char('/') + QLatin1String(name)));
    m_plugins.loadPlugins();
    for (const PluginRecord &record : m_plugins.plugins()) {
        EchoProbe *probe = qobject_cast<EchoProbe *>(record.instance);
        QVERIFY(probe);
        probe->setJournal(&m_journal);
        m_probes << probe;
    }
    QCOMPARE(m_probes.size(), 3);
}

void tst_WSignalsDispatcher::init()
{
    for (EchoProbe *probe : qAsConst(m_probes))
        probe->clearEvents();
}

void tst_WSignalsDispatcher::raisesSignalAndReachesPlugins_data()
{
    QTest::addColumn<Raise>("what");
    QTest::addColumn<QByteArray>("qtSignal"); // empty: none
    QTest::addColumn<QVariantList>("qtArguments");
    QTest::addColumn<QString>("pluginEvent"); // empty: plug-ins hear nothing
    QTest::addColumn<QVariantMap>("params");

    QTest::newRow("userStatusChanged") << Raise::UserStatusChanged << QByteArray("signalUserStatusChanged")
                                       << QVariantList{3} << QStringLiteral("signalUserStatusChanged")
                                       << QVariantMap{{"status", 3}};
    QTest::newRow("newContactAdded") << Raise::NewContactAdded << QByteArray("signalNewContactAdded")
                                     << QVariantList{"bob"} << QStringLiteral("signalNewContactAdded")
                                     << QVariantMap{{"username", "bob"}};
    QTest::newRow("contactEdited") << Raise::ContactEdited << QByteArray("signalContactEdited")
                                   << QVariantList{"carol"} << QStringLiteral("signalContactEdited")
                                   << QVariantMap{{"username", "carol"}};
    QTest::newRow("contactDeleted") << Raise::ContactDeleted << QByteArray("signalContactDeleted")
                                    << QVariantList{"dave"} << QStringLiteral("signalContactDeleted")
                                    << QVariantMap{{"username", "dave"}};
    QTest::newRow("personalDataChanged") << Raise::PersonalDataChanged << QByteArray("signalPersonalDataChanged")
                                         << QVariantList() << QStringLiteral("signalPersonalDataChanged")
                                         << QVariantMap();
    QTest::newRow("userViewWidgetChanged has no Qt signal")
        << Raise::UserViewWidgetChanged << QByteArray() << QVariantList()
        << QStringLiteral("signaluserViewWidgetChanged") << QVariantMap{{"username", "erin"}, {"name", "files"}};
    QTest::newRow("requestLogout") << Raise::RequestLogout << QByteArray("signalLogout") << QVariantList()
                                   << QString() << QVariantMap();
    QTest::newRow("displayActivityNotification")
        << Raise::DisplayActivityNotification << QByteArray("signalDisplayActivityNotification")
        << QVariantList{"hello"} << QString() << QVariantMap();
    QTest::newRow("showMainWindow") << Raise::ShowMainWindow << QByteArray("signalShowMainWindow")
                                    << QVariantList() << QString() << QVariantMap();
    QTest::newRow("setStatusText") << Raise::SetStatusText << QByteArray("signalSetStatusText")
                                   << QVariantList{"connected"} << QString() << QVariantMap();
}

void tst_WSignalsDispatcher::raisesSignalAndReachesPlugins()
{
    QFETCH(Raise, what);
    QFETCH(QByteArray, qtSignal);
    QFETCH(QVariantList, qtArguments);
    QFETCH(QString, pluginEvent);
    QFETCH(QVariantMap, params);

    WSignalsDispatcher dispatcher(&m_plugins);
    const SignalSpies spies(&dispatcher);
    const int journalBefore = m_journal.entries().size();

    raise(dispatcher, what);

    QMap<QByteArray, QList<QVariantList>> expectedSignals;
    if (!qtSignal.isEmpty())
        expectedSignals.insert(qtSignal, {qtArguments});
    QCOMPARE(spies.fired(), expectedSignals);

    for (EchoProbe *probe : qAsConst(m_probes)) {
        const QList<EchoEvent> heard = signalEventsOf(probe);
        if (pluginEvent.isEmpty()) {
            QVERIFY(heard.isEmpty());
            continue;
        }
        QCOMPARE(heard.size(), 1);
        QCOMPARE(heard.first().name, pluginEvent);
        QCOMPARE(heard.first().params, params);
    }
    // Every plug-in in load order.
    const auto entries = m_journal.entries().mid(journalBefore);
    QList<const EchoProbe *> order;
    for (const auto &entry : entries)
        order << entry.first;
    QList<const EchoProbe *> expectedOrder;
    if (!pluginEvent.isEmpty())
        expectedOrder = {m_probes[0], m_probes[1], m_probes[2]};
    QCOMPARE(order, expectedOrder);
}

void tst_WSignalsDispatcher::withoutPluginsStillSignals_data()
{
    raisesSignalAndReachesPlugins_data();
}

void tst_WSignalsDispatcher::withoutPluginsStillSignals()
{
    QFETCH(Raise, what);
    QFETCH(QByteArray, qtSignal);
    QFETCH(QVariantList, qtArguments);

    WPluginManager noPlugins;
    WSignalsDispatcher dispatcher(&noPlugins);
    const SignalSpies spies(&dispatcher);

    raise(dispatcher, what);

    QMap<QByteArray, QList<QVariantList>> expectedSignals;
    if (!qtSignal.isEmpty())
        expectedSignals.insert(qtSignal, {qtArguments});
    QCOMPARE(spies.fired(), expectedSignals);
    for (EchoProbe *probe : qAsConst(m_probes))
        QVERIFY(signalEventsOf(probe).isEmpty());
}

void tst_WSignalsDispatcher::pluginsHearOnTheRaisingThread()
{
    WSignalsDispatcher dispatcher(&m_plugins);
    Qt::HANDLE raiser = nullptr;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        raiser = QThread::currentThreadId();
        dispatcher.contactEdited(QStringLiteral("carol"));
    }));
    worker->start();
    QVERIFY(worker->wait());

    for (EchoProbe *probe : qAsConst(m_probes)) {
        const QList<EchoEvent> heard = signalEventsOf(probe);
        QCOMPARE(heard.size(), 1);
        QCOMPARE(heard.first().thread, raiser);
    }
}

void tst_WSignalsDispatcher::answerDecides_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("fromWorker"); // asked on another thread, answered on this one
    QTest::addColumn<bool>("accepted");

    QTest::newRow("yes") << int(WSignalsDispatcher::AnswerYes) << false << true;
    QTest::newRow("no") << int(WSignalsDispatcher::AnswerNo) << false << false;
    QTest::newRow("dialog closed") << 0x00400000 << false << false;
    QTest::newRow("zero") << 0 << false << false;
    QTest::newRow("the not-yet-answered mark") << -3 << false << false;
    QTest::newRow("yes from a worker") << int(WSignalsDispatcher::AnswerYes) << true << true;
    QTest::newRow("no from a worker") << int(WSignalsDispatcher::AnswerNo) << true << false;
    QTest::newRow("other from a worker") << 1 << true << false;
}

void tst_WSignalsDispatcher::answerDecides()
{
    QFETCH(int, answer);
    QFETCH(bool, fromWorker);
    QFETCH(bool, accepted);

    WSignalsDispatcher dispatcher(&m_plugins);
    QStringList asked;
    // Like the contacts panel: a slot on this thread answers at once.
    connect(&dispatcher, &WSignalsDispatcher::signalAcceptNewUser, this, [&](const QString &user) {
        asked << user;
        dispatcher.setAcceptAnswer(answer);
    });

    if (fromWorker) {
        Asker asker(&dispatcher, QStringLiteral("stranger"));
        QTRY_VERIFY(asker.thread->isFinished());
        QCOMPARE(asker.accepted.load(), accepted);
    } else {
        QCOMPARE(dispatcher.acceptNewUser(QStringLiteral("stranger")), accepted);
    }
    QCOMPARE(asked, QStringList{"stranger"});
}

void tst_WSignalsDispatcher::questionsFromTwoThreadsTakeTurns()
{
    WSignalsDispatcher dispatcher(&m_plugins);
    QStringList asked;
    connect(&dispatcher, &WSignalsDispatcher::signalAcceptNewUser, this,
            [&](const QString &user) { asked << user; });

    Asker first(&dispatcher, QStringLiteral("first"));
    QTRY_COMPARE(asked, QStringList{"first"});
    Asker second(&dispatcher, QStringLiteral("second"));
    // Give a second question every chance to show up while the first is open.
    QTest::qWait(300);
    QCOMPARE(asked, QStringList{"first"});

    dispatcher.setAcceptAnswer(WSignalsDispatcher::AnswerYes);
    QTRY_COMPARE(asked, (QStringList{"first", "second"}));
    QTRY_VERIFY(first.thread->isFinished());
    QVERIFY(first.accepted);
    QVERIFY(!second.thread->isFinished());

    dispatcher.setAcceptAnswer(WSignalsDispatcher::AnswerNo);
    QTRY_VERIFY(second.thread->isFinished());
    QVERIFY(!second.accepted);
}

void tst_WSignalsDispatcher::nestedQuestionOnOneThreadWaitsItsTurn()
{
    WSignalsDispatcher dispatcher(&m_plugins);
    QStringList asked;
    int innerResult = -1;
    connect(&dispatcher, &WSignalsDispatcher::signalAcceptNewUser, this, [&](const QString &user) {
        asked << user;
        if (user == QLatin1String("outer")) {
            // While the outer question waits on this thread, an event asks a
            // second question here, and only then is the outer one answered.
            QTimer::singleShot(0, this, [&] {
                QTimer::singleShot(0, this, [&] { dispatcher.setAcceptAnswer(WSignalsDispatcher::AnswerYes); });
                innerResult = dispatcher.acceptNewUser(QStringLiteral("inner"));
            });
        } else {
            QTimer::singleShot(0, this, [&] { dispatcher.setAcceptAnswer(WSignalsDispatcher::AnswerNo); });
        }
    });

    QVERIFY(dispatcher.acceptNewUser(QStringLiteral("outer")));
    QCOMPARE(innerResult, 0);
    QCOMPARE(asked, (QStringList{"outer", "inner"}));
}

void tst_WSignalsDispatcher::strayAnswerIsIgnored()
{
    WSignalsDispatcher dispatcher(&m_plugins);
    dispatcher.setAcceptAnswer(WSignalsDispatcher::AnswerYes); // nobody asked
    connect(&dispatcher, &WSignalsDispatcher::signalAcceptNewUser, this,
            [&] { dispatcher.setAcceptAnswer(WSignalsDispatcher::AnswerNo); });
    QVERIFY(!dispatcher.acceptNewUser(QStringLiteral("stranger")));
}

void tst_WSignalsDispatcher::questionsAreAnsweredNoAtShutdown()
{
    WSignalsDispatcher dispatcher(&m_plugins);
    QStringList asked;
    connect(&dispatcher, &WSignalsDispatcher::signalAcceptNewUser, this,
            [&](const QString &user) { asked << user; });
    Asker open(&dispatcher, QStringLiteral("open"));
    QTRY_COMPARE(asked, QStringList{"open"});
    Asker waiting(&dispatcher, QStringLiteral("waiting"));

    // Nobody answers: the program quits.
    dispatcher.closeQuestions();

    QVERIFY(open.thread->wait(5000));
    QVERIFY(waiting.thread->wait(5000));
    QVERIFY(!open.accepted);
    QVERIFY(!waiting.accepted);
    // A question asked later is not shown at all.
    QVERIFY(!dispatcher.acceptNewUser(QStringLiteral("late")));
    QCOMPARE(asked, QStringList{"open"});
}

WIVORA_TEST_GUILESS_MAIN(tst_WSignalsDispatcher)
#include "tst_WSignalsDispatcher.moc"
