// Two users' messaging engines in one process, joined by in-process hosts
// that carry records as the program does (binary form, host-stamped sender,
// delivery on a thread of its own).
#include "QtTestSuite.h"
#include "TestHost.h"
#include "WMailCommands.h"
#include "WMailMain.h"
#include "WMailRenderer.h"

#include <PSettings.h>

#include <QDirIterator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Pointer = WMailConversation::Pointer;

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
const QString kCarol = QStringLiteral("carol");
const QString kGroup = QStringLiteral("{6f9619ff-8b86-d011-b42d-00c04fc964ff}");
const QString kChat = QStringLiteral("chat");

struct Side
{
    Side(const QString &storage, const QString &user) : host(storage, user)
    {
        main.setHost(&host);
        host.commandSink = [this](const QString &id, const QString &command) { main.commandReceived(id, command); };
    }
    ~Side() { host.joinDeliveries(); }
    // Lets every delivery so far reach the plug-in and be filed.
    void settle()
    {
        host.joinDeliveries();
        QCoreApplication::processEvents();
        if (!QTest::qWaitFor([this] { return main.isFilingIdle(); }, 60000))
            qWarning() << "filing did not settle";
    }
    QString folder() { return host.getPluginStoragePath(QStringLiteral("wmail")); }
    // What is stored now, read by an object of its own.
    Pointer stored(const QString &name)
    {
        auto conversation = Pointer::create(folder(), name);
        return conversation->load() ? conversation : Pointer();
    }

    TestHost host;
    WMailMain main;
};

// Every file under root with its bytes.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            files.insert(file.fileName(), file.readAll());
    }
    return files;
}

int count(const QList<TestHost::Activity> &activities, const QString &user, bool active)
{
    int n = 0;
    for (const TestHost::Activity &activity : activities)
        n += activity.user == user && activity.activity == kChat && activity.active == active;
    return n;
}

// Puts a file where a folder is, so that nothing can be written into it, also
// by root, who ignores permissions; the folder comes back at destruction.
class FolderReplacedByFile
{
public:
    explicit FolderReplacedByFile(const QString &folder) : m_folder(folder), m_away(folder + ".away")
    {
        QDir().mkpath(QFileInfo(folder).path());
        m_moved = QFileInfo(folder).isDir() && QDir().rename(folder, m_away);
        QFile blocker(folder);
        m_blocked = blocker.open(QIODevice::WriteOnly);
    }
    ~FolderReplacedByFile() { restore(); }
    bool isBlocked() const { return m_blocked; }
    void restore()
    {
        if (m_blocked)
            QFile::remove(m_folder);
        if (m_moved)
            QDir().rename(m_away, m_folder);
        m_blocked = m_moved = false;
    }

private:
    const QString m_folder;
    const QString m_away;
    bool m_moved = false;
    bool m_blocked = false;
};

} // namespace

class tst_WMailMessaging : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Time questions go to a port where nobody listens.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        PSettings::SetValue(QStringLiteral("service/domain"), QStringLiteral("127.0.0.1"));
        PSettings::SetValue(QStringLiteral("service/port"), QString::number(closed.serverPort()));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_alice = std::make_unique<Side>(m_dir->path() + "/a", kAlice);
        m_bob = std::make_unique<Side>(m_dir->path() + "/b", kBob);
        m_carol = std::make_unique<Side>(m_dir->path() + "/c", kCarol);
        TestHost::link(m_alice->host, m_bob->host);
        TestHost::link(m_carol->host, m_bob->host);
        TestHost::link(m_alice->host, m_carol->host);
        for (Side *side : {m_alice.get(), m_bob.get(), m_carol.get()}) {
            for (const QString &user : {kAlice, kBob, kCarol})
                side->host.accept(user);
            side->main.initPlugin();
        }
    }
    void cleanup()
    {
        m_alice.reset();
        m_bob.reset();
        m_carol.reset();
        m_dir.reset();
    }

    void messageArrivesOnceDespiteTwoDeliveries()
    {
        const QString id = m_alice->main.createMessage(aliceToBob(), "<b>hello</b>", "text", true);
        QVERIFY(WMailStructure::isValidId(id));
        const QList<TestHost::Buffered> sent = m_alice->host.buffered();
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.at(0).user, kBob);
        m_bob->settle();
        m_bob->host.deliver(kAlice, sent.at(0).record); // delivered again
        m_bob->settle();

        const Pointer atBob = m_bob->stored(kAlice);
        QVERIFY(atBob);
        QCOMPARE(atBob->messageIds(), QStringList{id});
        QCOMPARE(atBob->participants(), (QStringList{kBob, kAlice}));
        const WMailStructure::Pointer message = atBob->root()->findStructure(id);
        QVERIFY(message);
        QCOMPARE(message->sender, kAlice);
        QCOMPARE(message->itemType, QStringLiteral("text"));
        QCOMPARE(atBob->loadItemPreview(id), QByteArray("<b>hello</b>"));
        QCOMPARE(m_bob->host.notifications(), QStringList{"New message from " + kAlice});
        QCOMPARE(count(m_bob->host.activities(), kAlice, true), 1);

        // Alice's own copy holds it too.
        QCOMPARE(m_alice->stored(kBob)->messageIds(), QStringList{id});
    }

    void recordCarriesTheMessage()
    {
        const Pointer conversation = aliceToBob();
        const QString first = m_alice->main.createMessage(conversation, "one", "text", true);
        const QString second = m_alice->main.createMessage(conversation, "two", "text", true);
        const QList<TestHost::Buffered> sent = m_alice->host.buffered();
        QCOMPARE(sent.size(), 2);
        const KvrConfig record = sent.at(1).record;
        QStringList keys;
        for (int i = 0; i < record.size(); ++i)
            keys << record.GetKey(i);
        QCOMPARE(keys, (QStringList{"ID", "command", "wmailid", "parentid", "insertafterid", "structure", "plugin",
                                    "sender"}));
        QCOMPARE(record.gv("command"), WMailCommands::CommandName);
        QCOMPARE(record.gv("wmailid"), kBob);
        QCOMPARE(record.gv("parentid"), conversation->viewRoot()->id);
        QCOMPARE(record.gv("insertafterid"), first);
        QCOMPARE(sent.at(0).record.gv("insertafterid"), QString());
        QCOMPARE(record.GetValue("plugin"), QByteArray("two"));
        QCOMPARE(record.gv("sender"), kAlice);
        WMailStructure carried;
        QVERIFY(carried.deserializeStructure(record.GetValue("structure")));
        QCOMPARE(carried.id, second);
        QCOMPARE(carried.recipients, (QStringList{kAlice, kBob}));
        QVERIFY(carried.children.isEmpty());
        QVERIFY(sent.at(0).record.GetID() != record.GetID());
    }

    void chatMark_data()
    {
        QTest::addColumn<QString>("shown"); // whose page bob has open
        QTest::addColumn<bool>("visible");
        QTest::addColumn<bool>("onPage");
        QTest::addColumn<bool>("marked");
        QTest::newRow("alice's page, visible") << kAlice << true << true << false;
        QTest::newRow("alice's page, hidden") << kAlice << false << true << true;
        QTest::newRow("carol's page") << kCarol << true << false << true;
        QTest::newRow("no page") << QString() << true << false << true;
    }
    void chatMark()
    {
        QFETCH(QString, shown);
        QFETCH(bool, visible);
        QFETCH(bool, onPage);
        QFETCH(bool, marked);
        WMailRenderer *page = m_bob->main.chatWidget();
        if (!shown.isEmpty())
            m_bob->main.setUser(shown);
        page->setVisible(visible);
        const Qt::HANDLE guiThread = QThread::currentThreadId();
        QList<Qt::HANDLE> pageThreads;
        connect(page, &WMailRenderer::messageAdded, this, [&] { pageThreads << QThread::currentThreadId(); },
                Qt::DirectConnection);
        m_bob->host.clearJournal();

        m_alice->main.createMessage(aliceToBob(), "hi", "text", true);
        m_bob->settle();
        QCOMPARE(pageThreads.size(), onPage ? 1 : 0);
        for (Qt::HANDLE thread : pageThreads)
            QCOMPARE(thread, guiThread);
        QCOMPARE(count(m_bob->host.activities(), kAlice, true), marked ? 1 : 0);
        page->hide();
    }

    void groupMessageGoesToEveryOtherParticipant()
    {
        const Pointer group = m_alice->main.manager().createConversation(kGroup, "group", {kBob, kCarol});
        const Pointer atBob = m_bob->main.manager().createConversation(kGroup, "group", {kAlice, kCarol});
        QVERIFY(group && atBob);
        const QString id = m_alice->main.createMessage(group, "to all", "text", true);
        const QList<TestHost::Buffered> sent = m_alice->host.buffered();
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent.at(0).user, kBob);
        QCOMPARE(sent.at(1).user, kCarol);
        QCOMPARE(sent.at(0).record.gv("wmailid"), kGroup);
        QCOMPARE(sent.at(0).record.gv("parentid"), group->root()->id);
        QCOMPARE(sent.at(0).record.gv("sender"), kAlice);

        // Bob has the group; carol has not, and keeps no trace of it.
        m_bob->settle();
        m_carol->settle();
        QCOMPARE(m_bob->stored(kGroup)->messageIds(), QStringList{id});
        QVERIFY(!QFileInfo::exists(m_carol->folder() + "/" + kGroup + ".wml"));
        QVERIFY(m_carol->host.notifications().isEmpty());

        // A conversation known by its header only keeps its stored messages.
        Side later(m_dir->path() + "/b", kBob);
        later.host.accept(kAlice);
        later.main.initPlugin();
        later.host.deliver(kAlice, m_alice->host.buffered().at(0).record); // a repeat: dropped
        const QString second = m_alice->main.createMessage(group, "again", "text", false);
        const WMailStructure::Pointer message = group->root()->findStructure(second);
        later.host.deliver(kAlice, WMailCommands::newMessageRecord(kAlice, kGroup, group->root()->id, QString(),
                                                                   message->serializeStructure(), "again"));
        later.settle();
        QCOMPARE(m_bob->stored(kGroup)->messageIds(), (QStringList{id, second}));
    }

    void equalServerTimesKeepArrivalOrder()
    {
        const QDateTime time = QDateTime::currentDateTimeUtc();
        QStringList ids;
        for (int i = 0; i < 3; ++i) {
            WMailStructure message;
            message.id = WMailStructure::newId();
            message.time = time;
            message.localTime = time;
            message.itemType = "text";
            message.sender = kAlice;
            ids << message.id;
            m_bob->host.deliver(kAlice, WMailCommands::newMessageRecord(kAlice, kBob, "{parent}", QString(),
                                                                        message.serializeStructure(), "x"));
            m_bob->settle();
        }
        const Pointer atBob = m_bob->stored(kAlice);
        QStringList order;
        for (const WMailStructure::Pointer &child : atBob->root()->children)
            order << child->id;
        QCOMPARE(order, ids);
    }

    // Hostile records leave every file as it was, create none anywhere and
    // tell the user nothing.
    void hostileRecordsAreDropped_data()
    {
        QTest::addColumn<QString>("from");      // the link's user
        QTest::addColumn<QString>("sender");    // what the record claims
        QTest::addColumn<QString>("wmailid");
        QTest::addColumn<QString>("messageId"); // "" keeps a fresh one; "existing": one bob has
        QTest::addColumn<QByteArray>("structure"); // non-empty replaces the serialised message
        QTest::newRow("claims to be alice") << kCarol << kAlice << kBob << "" << QByteArray();
        QTest::newRow("sender in upper case of another") << kCarol << "ALICE" << kBob << "" << QByteArray();
        QTest::newRow("not accepted") << "dave" << "dave" << kBob << "" << QByteArray();
        QTest::newRow("script id") << kAlice << kAlice << kBob << "'); x(); ('" << QByteArray();
        QTest::newRow("path as sender") << "../evil" << "../evil" << kBob << "" << QByteArray();
        QTest::newRow("path as group") << kAlice << kAlice << "{../../evil}" << "" << QByteArray();
        QTest::newRow("unknown group") << kAlice << kAlice << "{00000000-0000-0000-0000-000000000000}" << ""
                                       << QByteArray();
        QTest::newRow("group of others") << kAlice << kAlice << kGroup << "" << QByteArray();
        QTest::newRow("garbage structure") << kAlice << kAlice << kBob << "" << QByteArray("garbage");
        QTest::newRow("existing id") << kAlice << kAlice << kBob << "existing" << QByteArray();
        QTest::newRow("garbage from a new contact") << kCarol << kCarol << kBob << "" << QByteArray("garbage");
        QTest::newRow("root id") << kAlice << kAlice << kBob << "root" << QByteArray();
    }
    void hostileRecordsAreDropped()
    {
        QFETCH(QString, from);
        QFETCH(QString, sender);
        QFETCH(QString, wmailid);
        QFETCH(QString, messageId);
        QFETCH(QByteArray, structure);
        // Bob has a conversation with alice holding one message, and a group
        // with carol only.
        const QString existing = m_alice->main.createMessage(aliceToBob(), "original", "text", true);
        m_bob->settle();
        QVERIFY(m_bob->main.manager().createConversation(kGroup, "group", {kCarol}));
        const QMap<QString, QByteArray> before = snapshot(m_dir->path());
        m_bob->host.clearJournal();

        WMailStructure message;
        message.id = messageId == "existing" ? existing
            : messageId == "root"            ? m_bob->stored(kAlice)->root()->id
            : messageId.isEmpty()            ? WMailStructure::newId()
                                             : messageId;
        message.time = QDateTime::currentDateTimeUtc();
        message.localTime = message.time;
        message.itemType = "text";
        message.sender = sender;
        m_bob->host.deliver(from, WMailCommands::newMessageRecord(
                                      sender, wmailid, QString(),
                                      QString(), structure.isEmpty() ? message.serializeStructure() : structure, "evil"));
        m_bob->settle();

        QCOMPARE(snapshot(m_dir->path()), before);
        QVERIFY(m_bob->host.notifications().isEmpty());
        QVERIFY(m_bob->host.activities().isEmpty());
        QCOMPARE(m_bob->host.inputSize(), 0);
        QCOMPARE(m_bob->stored(kAlice)->loadItemPreview(existing), QByteArray("original"));
    }

    void otherRecordsAreLeftForTheirOwner()
    {
        KvrConfig record;
        record.SetID();
        record.sv("command", "wftp:::listDirectory");
        m_bob->host.deliver(kAlice, record);
        m_bob->settle();
        QCOMPARE(m_bob->host.inputSize(), 1);
    }

    // Before initPlugin the conversations are not loaded: the record stays
    // with the host, and is filed once when offered again after the start.
    void messageBeforeTheStartIsLeftForLater()
    {
        Side starting(m_dir->path() + "/b2", kBob);
        starting.host.accept(kAlice);
        const QString id = m_alice->main.createMessage(aliceToBob(), "early", "text", true);
        const KvrConfig sent = m_alice->host.buffered().at(0).record;
        starting.host.deliver(kAlice, sent);
        starting.settle();
        QCOMPARE(starting.host.inputSize(), 1);
        QVERIFY(!starting.stored(kAlice));

        starting.main.initPlugin();
        starting.main.commandReceived(sent.GetID(), WMailCommands::CommandName);
        starting.settle();
        QCOMPARE(starting.host.inputSize(), 0);
        QCOMPARE(starting.stored(kAlice)->messageIds(), QStringList{id});
    }

    void messageTooLargeForTheHostIsRefused()
    {
        const Pointer conversation = aliceToBob();
        const QMap<QString, QByteArray> before = snapshot(m_dir->path());
        const QString id = m_alice->main.createMessage(conversation, QByteArray(WMailCommands::MaxRecordSize, 'x'),
                                                       "text", true);
        QVERIFY(id.isEmpty());
        QVERIFY(m_alice->host.buffered().isEmpty());
        QCOMPARE(m_alice->host.notifications().size(), 1);
        QVERIFY(conversation->viewRoot()->children.isEmpty());
        QCOMPARE(snapshot(m_dir->path()), before);
    }

    // A message that could not be stored is neither sent nor kept: a later
    // save must not bring it back without its item.
    void unsavedOwnMessageIsNotSent()
    {
        const Pointer conversation = aliceToBob();
        FolderReplacedByFile blocked(m_alice->folder());
        QVERIFY(blocked.isBlocked());
        QVERIFY(m_alice->main.createMessage(conversation, "lost", "text", true).isEmpty());
        QVERIFY(m_alice->host.buffered().isEmpty());
        QCOMPARE(m_alice->host.notifications(),
                 QStringList{"The message could not be saved, so it was not sent."});
        QVERIFY(conversation->viewRoot()->children.isEmpty());
        QVERIFY(conversation->messageIds().isEmpty());

        blocked.restore();
        const QString id = m_alice->main.createMessage(conversation, "kept", "text", true);
        QVERIFY(WMailStructure::isValidId(id));
        QCOMPARE(m_alice->stored(kBob)->messageIds(), QStringList{id});
        QCOMPARE(m_alice->host.buffered().size(), 1);
    }

    // A received message that could not be stored is not announced and its
    // record stays with the host until a later try stores it.
    void unsavedReceivedMessageIsFiledLater()
    {
        FolderReplacedByFile blocked(m_bob->folder());
        QVERIFY(blocked.isBlocked());
        const QString id = m_alice->main.createMessage(aliceToBob(), "<b>hello</b>", "text", true);
        QVERIFY(WMailStructure::isValidId(id));
        m_bob->settle();
        QCOMPARE(m_bob->host.notifications(),
                 QStringList{"A received message could not be saved. It will be tried again."});
        QCOMPARE(m_bob->host.inputSize(), 1);
        QCOMPARE(count(m_bob->host.activities(), kAlice, true), 0);

        blocked.restore();
        QTRY_COMPARE_WITH_TIMEOUT(m_bob->host.inputSize(), 0, 30000);
        const Pointer atBob = m_bob->stored(kAlice);
        QVERIFY(atBob);
        QCOMPARE(atBob->messageIds(), QStringList{id});
        QCOMPARE(atBob->loadItemPreview(id), QByteArray("<b>hello</b>"));
        QCOMPARE(m_bob->host.notifications().last(), QStringLiteral("New message from ") + kAlice);
        QCOMPARE(count(m_bob->host.activities(), kAlice, true), 1);
    }

    void nothingWhileLoggedOut()
    {
        m_bob->host.logOut();
        m_bob->main.initPlugin();
        m_bob->host.clearJournal();

        m_bob->main.setUser(kAlice);
        QVERIFY(!m_bob->main.chatWidget()->conversation());
        m_alice->main.createMessage(aliceToBob(), "hi", "text", true);
        m_bob->settle();

        const QMap<QString, QByteArray> after = snapshot(m_dir->path());
        for (auto it = after.cbegin(); it != after.cend(); ++it)
            QVERIFY2(!it.key().startsWith(m_dir->path() + "/b/"), qPrintable(it.key()));
        QVERIFY(m_bob->host.notifications().isEmpty());
    }

    // A reconnect keeps the objects the page holds, so what arrives after it
    // reaches the page's conversation; another user's login clears the page.
    void reloginKeepsTheShownConversation()
    {
        m_bob->main.setUser(kAlice);
        const Pointer shown = m_bob->main.chatWidget()->conversation();
        QVERIFY(shown);
        m_bob->main.initPlugin();
        QCOMPARE(m_bob->main.chatWidget()->conversation(), shown);
        const QString id = m_alice->main.createMessage(aliceToBob(), "after", "text", true);
        m_bob->settle();
        QVERIFY(shown->root()->findStructure(id));
        // Bob writes from the page he kept: alice's message stays in the file.
        const QString reply = m_bob->main.createMessage(shown, "reply", "text", false);
        QCOMPARE(m_bob->stored(kAlice)->messageIds(), (QStringList{id, reply}));

        m_bob->host.logIn(kCarol);
        m_bob->main.initPlugin();
        QVERIFY(!m_bob->main.chatWidget()->conversation());
        // The object kept from bob's login no longer writes (into bob's folder).
        const QMap<QString, QByteArray> before = snapshot(m_dir->path());
        QVERIFY(m_bob->main.createMessage(shown, "as carol", "text", true).isEmpty());
        QCOMPARE(snapshot(m_dir->path()), before);
        m_bob->main.closePlugin();
    }

    // A client that starts again reads a stored conversation off the GUI
    // thread when the first message comes for it; the messages that come
    // meanwhile are filed after the stored ones, in the order they came.
    void messagesWhileTheConversationIsReadKeepTheirOrder()
    {
        QStringList ids;
        for (int i = 0; i < 100; ++i) {
            ids << m_alice->main.createMessage(aliceToBob(), "earlier", "text", true);
            m_bob->settle(); // each delivery runs on a thread of its own
        }
        QCOMPARE(m_bob->stored(kAlice)->messageIds(), ids);

        Side restarted(m_dir->path() + "/b", kBob);
        restarted.host.accept(kAlice);
        restarted.main.initPlugin();
        QTRY_COMPARE(restarted.main.manager().conversations().size(), 1);
        QVERIFY(!restarted.main.manager().findConversation(kAlice)->isLoaded());
        const QDateTime time = QDateTime::currentDateTimeUtc();
        for (int i = 0; i < 20; ++i) {
            WMailStructure message;
            message.id = WMailStructure::newId();
            message.time = time; // equal times: only the arrival orders them
            message.localTime = time;
            message.itemType = "text";
            message.sender = kAlice;
            ids << message.id;
            restarted.host.deliver(kAlice, WMailCommands::newMessageRecord(kAlice, kBob, "{parent}", QString(),
                                                                           message.serializeStructure(), "x"));
            // Arrived in this order; the first ten start the read, the
            // others come while it may still run.
            restarted.host.joinDeliveries();
            if (i == 9)
                QCoreApplication::processEvents();
        }
        restarted.settle();
        QVERIFY(restarted.main.isFilingIdle());
        QCOMPARE(restarted.stored(kAlice)->messageIds(), ids);
        QCOMPARE(restarted.main.manager().findConversation(kAlice)->messageIds(), ids);
    }

    void initFromAnotherThreadWorksOnTheGuiThread()
    {
        Side fresh(m_dir->path() + "/b", kBob);
        QVERIFY(m_bob->main.manager().getUserConversation(kAlice)); // a stored file to load
        std::thread pool([&] { fresh.main.initPlugin(); });
        pool.join();
        QVERIFY(fresh.host.handlers().isEmpty());
        QTRY_COMPARE(fresh.main.manager().conversations().size(), 1);
        QCOMPARE(fresh.main.manager().conversations().at(0)->thread(), QCoreApplication::instance()->thread());
        QFile icon(":/icons/Resources/chatblue.png");
        QVERIFY(icon.open(QIODevice::ReadOnly));
        QCOMPARE(fresh.host.handlers().value(kChat), icon.readAll());
        fresh.main.initPlugin(); // again: harmless
        QCOMPARE(fresh.main.manager().conversations().size(), 1);
    }

    void hostEvents_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("page");
        QTest::addColumn<bool>("cleared");
        QTest::newRow("chat page shown") << "signaluserViewWidgetChanged" << "chat" << true;
        QTest::newRow("other page shown") << "signaluserViewWidgetChanged" << "files" << false;
        QTest::newRow("other event") << "signalContactEdited" << "chat" << false;
    }
    void hostEvents()
    {
        QFETCH(QString, name);
        QFETCH(QString, page);
        QFETCH(bool, cleared);
        m_bob->host.clearJournal();
        m_bob->main.signalReceived(name, {{"username", kAlice}, {"name", page}});
        QCOMPARE(count(m_bob->host.activities(), kAlice, false), cleared ? 1 : 0);
        QCOMPARE(m_bob->host.activities().size(), cleared ? 1 : 0);
    }

private:
    Pointer aliceToBob() { return m_alice->main.manager().getUserConversation(kBob); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Side> m_alice, m_bob, m_carol;
};

WIVORA_TEST_MAIN(tst_WMailMessaging)
#include "tst_WMailMessaging.moc"
