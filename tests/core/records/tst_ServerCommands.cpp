#include "QtTestSuite.h"
#include "ClientSessionFixture.h"
#include "DurableInbox.h"
#include "EchoFixture.h"
#include "EchoProbe.h"
#include "IOCommandsTower.h"
#include "ServerCommands.h"
#include "SessionState.h"
#include "WCommonOperations.h"
#include "WPluginManager.h"
#include "WSignalsDispatcher.h"

#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QDir>
#include <QFile>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

constexpr int kArrivalTimeoutMs = 20000;

KvrConfig makeRecord(const QString &command, const QVariantMap &keys = {})
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), command);
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        record.sv(it.key(), it.value().toString());
    return record;
}

QStringList routingKeysOf(const KvrConfig &record)
{
    QStringList keys;
    for (int i = 0; i < record.size(); ++i) {
        if (record.GetKey(i).startsWith(QLatin1String("Wivora::")))
            keys << record.GetKey(i);
    }
    return keys;
}

} // namespace

class tst_ServerCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void routesByName_data();
    void routesByName();
    void pluginRecordsAreOfferedOffTheCallingThread();
    void localCommands_data();
    void localCommands();
    void relayedRecordsArePutOnlyWhenPeersMaySendThem_data();
    void relayedRecordsArePutOnlyWhenPeersMaySendThem();
    void relayedPartsGoToTheBufferedStore_data();
    void relayedPartsGoToTheBufferedStore();
    void relayedRecordsEnterInServerOrder();
    void relayedRecordLeavesTheServerOnlyOnceStored();
    void relayedVCardNoticeRefreshesTheContact();
    void pluginRecordsWaitUntilThePluginsStarted();

private:
    QList<EchoEvent> commandEvents(EchoProbe *probe) const;
    QSharedPointer<WDataStructure> contact(const QString &user) const;
    // Relays each record from bob to alice through the server, then hands
    // commands the server's notice, as the main-server link would.
    bool relayToAlice(const QList<KvrConfig> &records);
    // The "ID" of the record at the head of alice's relay queue, left there.
    QString relayHead();

    QTemporaryDir m_home;
    ClientSessionFixture m_fixture;
    SessionState m_session;
    WPluginManager m_plugins;
    WSignalsDispatcher m_dispatcher{&m_plugins};
    QList<EchoProbe *> m_probes; // in load order
    EchoJournal m_journal;
    QSharedPointer<TcpConnection> m_bobLink;
    QSharedPointer<WivoraAccount> m_bobAccount;
};

void tst_ServerCommands::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));

    // Two copies of the echo plug-in, each a plug-in of its own.
    const QString folder = WPluginManager::pluginsFolder();
    QVERIFY(QDir().mkpath(folder));
    for (const char *name : {"b-echo.so", "a-echo.so"})
        QVERIFY(copyEchoPlugin(folder + QLatin1Char('/') + QLatin1String(name)));
    m_plugins.loadPlugins();
    for (const PluginRecord &record : m_plugins.plugins()) {
        EchoProbe *probe = qobject_cast<EchoProbe *>(record.instance);
        QVERIFY(probe);
        probe->setJournal(&m_journal);
        m_probes << probe;
    }
    QCOMPARE(m_probes.size(), 2);

    QVERIFY2(m_fixture.start({QStringLiteral("alice"), QStringLiteral("bob")}),
             qPrintable(m_fixture.server.errorText()));
    QVERIFY(m_fixture.logIn(m_session, QStringLiteral("alice")));
    m_bobLink = m_fixture.loggedInLink(QStringLiteral("bob"));
    QVERIFY(m_bobLink);
    m_bobAccount = QSharedPointer<WivoraAccount>::create();
    m_bobAccount->setUserName(QStringLiteral("bob"));
    WCommonOperations::setContext(&m_session, &m_dispatcher);
}

void tst_ServerCommands::cleanupTestCase()
{
    WCommonOperations::setContext(nullptr, nullptr);
}

void tst_ServerCommands::init()
{
    for (EchoProbe *probe : qAsConst(m_probes))
        probe->clearEvents();
    // Alice has one contact, bob, with an old vCard.
    const QSharedPointer<WDataStructure> contacts = m_session.account()->contactsData;
    contacts->clearChildren();
    auto bob = QSharedPointer<WDataStructure>::create();
    bob->sv(QStringLiteral("section"), QStringLiteral("bob"));
    bob->sv(QStringLiteral("username"), QStringLiteral("bob"));
    bob->sv(QStringLiteral("fullName"), QStringLiteral("Old Name"));
    bob->sv(QStringLiteral("status"), QStringLiteral("1"));
    auto vcard = QSharedPointer<WDataStructure>::create();
    vcard->sv(QStringLiteral("section"), QStringLiteral("vcard"));
    vcard->sv(QStringLiteral("fullName"), QStringLiteral("Old Name"));
    QVERIFY(bob->AddStructure(vcard));
    QVERIFY(contacts->AddStructure(bob));
}

QList<EchoEvent> tst_ServerCommands::commandEvents(EchoProbe *probe) const
{
    QList<EchoEvent> commands;
    for (const EchoEvent &event : probe->events()) {
        if (event.kind == EchoEvent::Command)
            commands << event;
    }
    return commands;
}

QSharedPointer<WDataStructure> tst_ServerCommands::contact(const QString &user) const
{
    return m_session.account()->contactsData->GetStructureByValue(QStringLiteral("section"), user);
}

QString tst_ServerCommands::relayHead()
{
    qint64 exchangeId = 0;
    return WServerCommands::peekExchangeCommand(m_session.serverLink(), 0, &exchangeId).GetID();
}

bool tst_ServerCommands::relayToAlice(const QList<KvrConfig> &records)
{
    for (const KvrConfig &record : records) {
        if (!WServerCommands::sendExchangeCommand(QStringLiteral("alice"), record, m_bobAccount))
            return false;
    }
    return true;
}

void tst_ServerCommands::routesByName_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("offered"); // to every plug-in, in load order
    QTest::addColumn<bool>("stays");   // in the input list afterwards

    QTest::newRow("plug-in request") << "echo:::x" << true << true;
    QTest::newRow("another plug-in's request") << "wftp:::listDirectory" << true << true;
    QTest::newRow("separator at the end") << "echo:::" << true << true;
    QTest::newRow("web server request") << "WebLocal::echo:::y" << true << true;
    QTest::newRow("web server request without plug-in name") << "WebLocal::status" << true << true;
    QTest::newRow("no prefix, no separator") << "chat" << false << true;
    QTest::newRow("prefixes are case-sensitive") << "weblocal::echo" << false << true;
    QTest::newRow("unknown local name is removed") << "Local::Unknown" << false << false;
    QTest::newRow("local name with a plug-in name is removed") << "Local::echo:::x" << false << false;
}

void tst_ServerCommands::routesByName()
{
    QFETCH(QString, command);
    QFETCH(bool, offered);
    QFETCH(bool, stays);

    IOCommandsTower tower;
    ServerCommands commands(&tower, &m_plugins, &m_dispatcher, &m_session);
    commands.releasePluginRecords();
    const KvrConfig record = makeRecord(command);
    tower.putInputCommand(record);
    const int journalBefore = m_journal.entries().size();

    commands.handleServerCommand(record.GetID(), command);

    QCOMPARE(tower.hasInputCommand(record.GetID()), stays);
    const auto journal = m_journal.entries().mid(journalBefore);
    if (!offered) {
        QVERIFY(journal.isEmpty());
        return;
    }
    QCOMPARE(journal.size(), m_probes.size());
    for (int i = 0; i < m_probes.size(); ++i) {
        QCOMPARE(journal.at(i).first, m_probes.at(i));
        const QList<EchoEvent> events = commandEvents(m_probes.at(i));
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.first().name, command);
        QCOMPARE(events.first().id, record.GetID());
    }
}

void tst_ServerCommands::pluginRecordsAreOfferedOffTheCallingThread()
{
    IOCommandsTower tower;
    QScopedPointer<ServerCommands> commands(new ServerCommands(&tower, &m_plugins, &m_dispatcher, &m_session));
    commands->releasePluginRecords();
    connect(&tower, &IOCommandsTower::signalInputCommandReceived, commands.data(),
            &ServerCommands::slotCommandReceived);

    const KvrConfig chat = makeRecord(QStringLiteral("chat"));
    const KvrConfig request = makeRecord(QStringLiteral("echo:::x"));
    const KvrConfig webRequest = makeRecord(QStringLiteral("WebLocal::echo:::y"));
    for (const KvrConfig &record : {chat, request, webRequest})
        tower.putInputCommand(record);
    // Destruction waits for the handlers, so every record has been routed.
    commands.reset();

    const Qt::HANDLE testThread = QThread::currentThreadId();
    for (EchoProbe *probe : qAsConst(m_probes)) {
        QMap<QString, QString> offered; // name -> id
        for (const EchoEvent &event : commandEvents(probe)) {
            QVERIFY(event.thread != testThread);
            offered.insert(event.name, event.id);
        }
        QCOMPARE(offered, (QMap<QString, QString>{{QStringLiteral("echo:::x"), request.GetID()},
                                                  {QStringLiteral("WebLocal::echo:::y"), webRequest.GetID()}}));
    }
    for (const KvrConfig &record : {chat, request, webRequest})
        QCOMPARE(tower.takeInputCommand(record.GetID()), record);
}

void tst_ServerCommands::localCommands_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QVariantMap>("keys");
    QTest::addColumn<QStringList>("effects");
    QTest::addColumn<QString>("bobStatus"); // afterwards

    QTest::newRow("tunnel request") << "Local::InitTunnelConnection"
                                    << QVariantMap{{"sender", "bob"}, {"tunelid", "t-7"}}
                                    << QStringList{"tunnel t-7 bob"} << "1";
    QTest::newRow("server-mode link request") << "Local::InitTunnelConnection"
                                              << QVariantMap{{"sender", "bob"}, {"tunelid", "t-8"}, {"servermode", "1"}}
                                              << QStringList{"tunnel t-8 bob server-mode"} << "1";
    QTest::newRow("UDP request") << "Local::InitUdpConnection"
                                 << QVariantMap{{"sessionid", "4711"}, {"sender", "bob"}}
                                 << QStringList{"udp bob 4711"} << "1";
    QTest::newRow("logout") << "Local::Logout" << QVariantMap() << QStringList{"logout"} << "1";
    QTest::newRow("contact's status") << "Local::userStatusChanged"
                                      << QVariantMap{{"username", "bob"}, {"status", "3"}}
                                      << QStringList{"edited bob"} << "3";
    QTest::newRow("status of a stranger") << "Local::userStatusChanged"
                                          << QVariantMap{{"username", "carol"}, {"status", "2"}}
                                          << QStringList() << "1";
    QTest::newRow("status without a user name") << "Local::userStatusChanged"
                                                << QVariantMap{{"status", "2"}} << QStringList() << "1";
    QTest::newRow("unknown name") << "Local::Reboot" << QVariantMap{{"username", "bob"}} << QStringList() << "1";
    QTest::newRow("names match exactly") << "Local::logout" << QVariantMap() << QStringList() << "1";
}

void tst_ServerCommands::localCommands()
{
    QFETCH(QString, command);
    QFETCH(QVariantMap, keys);
    QFETCH(QStringList, effects);
    QFETCH(QString, bobStatus);

    IOCommandsTower tower;
    ServerCommands commands(&tower, &m_plugins, &m_dispatcher, &m_session);
    commands.releasePluginRecords();
    QStringList seen;
    commands.setLinkAcceptance(
        [&](const QString &tunnelId, const QString &sender, bool serverMode) {
            seen << "tunnel " + tunnelId + ' ' + sender + (serverMode ? " server-mode" : "");
        },
        [&](const QString &sender, const QString &sessionId) { seen << "udp " + sender + ' ' + sessionId; });
    QObject receiver;
    connect(&m_dispatcher, &WSignalsDispatcher::signalLogout, &receiver, [&] { seen << QStringLiteral("logout"); });
    connect(&m_dispatcher, &WSignalsDispatcher::signalContactEdited, &receiver,
            [&](const QString &user) { seen << "edited " + user; });
    const QSharedPointer<WDataStructure> contacts = m_session.account()->contactsData;
    const int contactCount = contacts->childCount();

    const KvrConfig record = makeRecord(command, keys);
    tower.putInputCommand(record);
    commands.handleServerCommand(record.GetID(), command);

    QCOMPARE(seen, effects);
    QVERIFY(!tower.hasInputCommand(record.GetID()));
    QCOMPARE(contacts->childCount(), contactCount);
    QCOMPARE(contact(QStringLiteral("bob"))->gv(QStringLiteral("status")), bobStatus);
    for (EchoProbe *probe : qAsConst(m_probes))
        QVERIFY(commandEvents(probe).isEmpty());
}

void tst_ServerCommands::relayedRecordsArePutOnlyWhenPeersMaySendThem_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("sender"); // as the server names it
    QTest::addColumn<bool>("put");

    QTest::newRow("contact's vCard notice") << "Local::vcardupdate" << "bob" << true;
    QTest::newRow("plug-in record") << "wmail:::newMessage" << "bob" << true;
    QTest::newRow("sender in capitals") << "wmail:::newMessage" << "BoB" << true;
    QTest::newRow("sender unknown to the server") << "wmail:::newMessage" << "" << true;
    QTest::newRow("plain name") << "chat" << "bob" << true;
    QTest::newRow("forged logout") << "Local::Logout" << "bob" << false;
    QTest::newRow("forged tunnel request") << "Local::InitTunnelConnection" << "bob" << false;
    QTest::newRow("forged UDP request") << "Local::InitUdpConnection" << "bob" << false;
    QTest::newRow("forged status") << "Local::userStatusChanged" << "bob" << false;
    QTest::newRow("forged relay notice") << "Local::ExchangeMessageAvailable" << "bob" << false;
    QTest::newRow("vCard notice with a suffix") << "Local::vcardupdate:::wftp" << "bob" << false;
    QTest::newRow("forged web server request") << "WebLocal::wftp:::openFile" << "bob" << false;
}

void tst_ServerCommands::relayedRecordsArePutOnlyWhenPeersMaySendThem()
{
    QFETCH(QString, command);
    QFETCH(QString, sender);
    QFETCH(bool, put);

    IOCommandsTower tower;
    ServerCommands commands(&tower, &m_plugins, &m_dispatcher, &m_session);
    commands.releasePluginRecords();
    const KvrConfig record = makeRecord(command, {{"username", "bob"},
                                                  {"Wivora::sender", "carol"},
                                                  {"Wivora::connection", "1"},
                                                  {"Wivora::connectionID", "{forged}"}});

    QCOMPARE(commands.putRelayedCommand(record, sender) == ServerCommands::Relayed::Taken, put);

    const KvrConfig stored = tower.takeInputCommand(record.GetID());
    QCOMPARE(stored.isEmpty(), !put);
    if (put) {
        // Only the server's word on the sender survives; there is no link to name.
        QCOMPARE(routingKeysOf(stored), sender.isEmpty() ? QStringList() : QStringList{"Wivora::sender"});
        QCOMPARE(stored.gv(QStringLiteral("Wivora::sender")), sender.toLower());
        QCOMPARE(stored.gv(QStringLiteral("command")), command);
        QCOMPARE(stored.gv(QStringLiteral("username")), QStringLiteral("bob"));
    }
}

void tst_ServerCommands::relayedPartsGoToTheBufferedStore_data()
{
    QTest::addColumn<QString>("sender"); // as the server names it
    QTest::addColumn<bool>("handedOver");

    QTest::newRow("named sender") << "BoB" << true;
    // Parts are joined per sender.
    QTest::newRow("sender unknown to the server") << "" << false;
}

void tst_ServerCommands::relayedPartsGoToTheBufferedStore()
{
    QFETCH(QString, sender);
    QFETCH(bool, handedOver);

    IOCommandsTower tower;
    ServerCommands commands(&tower, &m_plugins, &m_dispatcher, &m_session);
    commands.releasePluginRecords();
    QList<KvrConfig> parts;
    commands.setRelayedPartReceiver([&](const KvrConfig &part) {
        parts << part;
        return true;
    });
    const KvrConfig part = makeRecord(QStringLiteral("User::bufferedCommand"),
                                      {{"commandid", "{c}"}, {"Wivora::sender", "carol"}, {"Wivora::connectionID", "x"}});

    QCOMPARE(commands.putRelayedCommand(part, sender) == ServerCommands::Relayed::Taken, handedOver);

    QVERIFY(tower.takeInputCommand(part.GetID()).isEmpty());
    QCOMPARE(parts.size(), handedOver ? 1 : 0);
    if (handedOver) {
        QCOMPARE(routingKeysOf(parts.first()), QStringList{"Wivora::sender"});
        QCOMPARE(parts.first().gv(QStringLiteral("Wivora::sender")), QStringLiteral("bob"));
        QCOMPARE(parts.first().gv(QStringLiteral("commandid")), QStringLiteral("{c}"));
    }
}

void tst_ServerCommands::relayedRecordsEnterInServerOrder()
{
    IOCommandsTower tower;
    ServerCommands commands(&tower, &m_plugins, &m_dispatcher, &m_session);
    commands.releasePluginRecords();
    connect(&tower, &IOCommandsTower::signalInputCommandReceived, &commands, &ServerCommands::slotCommandReceived);

    // One "ID" for all three: takes by that "ID" then follow list order.
    // Bob writes a false sender into each; the server's word replaces it.
    QList<KvrConfig> records;
    for (const char *text : {"first", "second", "third"}) {
        KvrConfig record;
        record.sv(QStringLiteral("ID"), QStringLiteral("relayed"));
        record.sv(QStringLiteral("command"), QStringLiteral("chat"));
        record.sv(QStringLiteral("text"), QLatin1String(text));
        record.sv(QStringLiteral("Wivora::sender"), QStringLiteral("carol"));
        records << record;
    }
    QVERIFY(relayToAlice(records));
    tower.putInputCommand(makeRecord(QStringLiteral("Local::ExchangeMessageAvailable")));

    QStringList texts;
    for (int i = 0; i < records.size(); ++i) {
        const KvrConfig arrived = tower.waitInputCommand(QStringLiteral("relayed"), kArrivalTimeoutMs);
        texts << arrived.gv(QStringLiteral("text"));
        QCOMPARE(routingKeysOf(arrived), QStringList{"Wivora::sender"});
        QCOMPARE(arrived.gv(QStringLiteral("Wivora::sender")), QStringLiteral("bob"));
    }
    QCOMPARE(texts, (QStringList{"first", "second", "third"}));
    // The server forgets each record once it was put.
    QTRY_VERIFY(relayHead().isEmpty());
}

// The server forgets a relayed record for the plug-ins only once it is in
// the inbox; one that cannot be stored waits at the server for the next
// fetch.
void tst_ServerCommands::relayedRecordLeavesTheServerOnlyOnceStored()
{
    const KvrConfig note = makeRecord(QStringLiteral("echo:::note"));
    QVERIFY(relayToAlice({note}));
    const auto fetchInto = [this](IOCommandsTower *tower, DurableInbox *inbox) {
        ServerCommands commands(tower, nullptr, &m_dispatcher, &m_session);
        commands.setInbox(inbox);
        commands.releasePluginRecords();
        commands.fetchExchangeCommands();
        // Its end waits for the fetch.
    };
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    IOCommandsTower tower;
    DurableInbox inbox;

    // Closed, the inbox stores nothing.
    fetchInto(&tower, &inbox);
    QVERIFY(!tower.hasInputCommand(note.GetID()));
    QCOMPARE(relayHead(), note.GetID());

    inbox.open(folder.path());
    fetchInto(&tower, &inbox);
    QVERIFY(tower.hasInputCommand(note.GetID()));
    QCOMPARE(relayHead(), QString());
    const QList<KvrConfig> stored = DurableInbox().open(folder.path());
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.first().GetID(), note.GetID());
    QCOMPARE(stored.first().gv(QStringLiteral("Wivora::sender")), QStringLiteral("bob"));
}

void tst_ServerCommands::relayedVCardNoticeRefreshesTheContact()
{
    WDataStructure bobCard;
    bobCard.sv(QStringLiteral("section"), QStringLiteral("vcard"));
    bobCard.sv(QStringLiteral("fullName"), QStringLiteral("Bob Builder"));
    bobCard.sv(QStringLiteral("city"), QStringLiteral("Graz"));
    QVERIFY(WServerCommands::updateVCard(bobCard.SerializeStructure(), m_bobLink));

    IOCommandsTower tower;
    ServerCommands commands(&tower, &m_plugins, &m_dispatcher, &m_session);
    commands.releasePluginRecords();
    connect(&tower, &IOCommandsTower::signalInputCommandReceived, &commands, &ServerCommands::slotCommandReceived);
    QStringList edited;
    QObject receiver; // lives here: the handler's signal is queued to this thread
    connect(&m_dispatcher, &WSignalsDispatcher::signalContactEdited, &receiver,
            [&](const QString &user) { edited << user; });

    QVERIFY(relayToAlice({makeRecord(QStringLiteral("Local::vcardupdate"), {{"username", "bob"}})}));
    tower.putInputCommand(makeRecord(QStringLiteral("Local::ExchangeMessageAvailable")));
    QTRY_COMPARE_WITH_TIMEOUT(edited, QStringList{QStringLiteral("bob")}, kArrivalTimeoutMs);

    const QSharedPointer<WDataStructure> bob = contact(QStringLiteral("bob"));
    QCOMPARE(bob->gv(QStringLiteral("fullName")), QStringLiteral("Bob Builder"));
    QCOMPARE(bob->gv(QStringLiteral("city")), QStringLiteral("Graz"));
    int vcards = 0;
    for (const QSharedPointer<WDataStructure> &child : bob->getChildren()) {
        if (child->gv(QStringLiteral("section")) == QLatin1String("vcard")) {
            ++vcards;
            QCOMPARE(child->gv(QStringLiteral("fullName")), QStringLiteral("Bob Builder"));
        }
    }
    QCOMPARE(vcards, 1);

    // Saved, the server copy included.
    QVERIFY(QFile::exists(SessionState::userFolder(QStringLiteral("alice")) + QStringLiteral("/account.acc")));
    WivoraAccount serverCopy;
    QVERIFY(serverCopy.openAccount(WServerCommands::getAccount(m_session.serverLink()),
                                   ClientSessionFixture::passwordOf(QStringLiteral("alice")), false));
    const auto savedBob = serverCopy.contactsData->GetStructureByValue(QStringLiteral("section"), QStringLiteral("bob"));
    QVERIFY(savedBob);
    QCOMPARE(savedBob->gv(QStringLiteral("fullName")), QStringLiteral("Bob Builder"));
}

void tst_ServerCommands::pluginRecordsWaitUntilThePluginsStarted()
{
    IOCommandsTower tower;
    QScopedPointer<ServerCommands> commands(new ServerCommands(&tower, &m_plugins, &m_dispatcher, &m_session));

    // Left over from an earlier session: never offered to this one's plug-ins.
    const KvrConfig stale = makeRecord(QStringLiteral("echo:::stale"));
    tower.putInputCommand(stale);
    commands->handleServerCommand(stale.GetID(), stale.gv(QStringLiteral("command")));
    commands->holdPluginRecords();
    connect(&tower, &IOCommandsTower::signalInputCommandReceived, commands.data(),
            &ServerCommands::slotCommandReceived, Qt::DirectConnection);

    // Before the plug-ins start: a record over a link, and a relayed one
    // with its notice.
    const KvrConfig direct = makeRecord(QStringLiteral("echo:::direct"));
    tower.putInputCommand(direct);
    const KvrConfig relayed = makeRecord(QStringLiteral("echo:::relayed"));
    QVERIFY(relayToAlice({relayed}));
    const KvrConfig notice = makeRecord(QStringLiteral("Local::ExchangeMessageAvailable"));
    tower.putInputCommand(notice);

    // The notice was handled, and no plug-in heard of a record: the relayed
    // one still waits at the server, the other in the input list.
    QTRY_VERIFY_WITH_TIMEOUT(!tower.hasInputCommand(notice.GetID()), kArrivalTimeoutMs);
    for (EchoProbe *probe : qAsConst(m_probes))
        QVERIFY(commandEvents(probe).isEmpty());
    QVERIFY(!tower.hasInputCommand(relayed.GetID()));
    QVERIFY(tower.hasInputCommand(direct.GetID()));

    // The start offers what waited and fetches the relay.
    commands->releasePluginRecords();
    QTRY_VERIFY_WITH_TIMEOUT(tower.hasInputCommand(relayed.GetID()), kArrivalTimeoutMs);
    // Destruction waits for the handlers, so every record has been routed.
    commands.reset();

    for (EchoProbe *probe : qAsConst(m_probes)) {
        QStringList offered;
        for (const EchoEvent &event : commandEvents(probe))
            offered << event.name;
        offered.sort();
        QCOMPARE(offered.join(QLatin1Char(' ')), QStringLiteral("echo:::direct echo:::relayed"));
    }
    QVERIFY(tower.hasInputCommand(stale.GetID()));
    QVERIFY(WServerCommands::getExchangeCommand(m_session.serverLink()).isEmpty());
}

WIVORA_TEST_GUILESS_MAIN(tst_ServerCommands)
#include "tst_ServerCommands.moc"
