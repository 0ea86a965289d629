// Messages between real clients: wivora-server and wivora-headless processes
// with the messaging plug-in, driven through the probe. What arrived is read
// from the receiver's conversation files.
#include "QtTestSuite.h"
#include "E2eFixture.h"
#include "WMailCommands.h"
#include "WMailConversation.h"

#include <QElapsedTimer>
#include <QSet>
#include <QtTest>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
const QString kCarol = QStringLiteral("carol");
const QString kPlugin = QStringLiteral("WMail");

// Scaled for tests: a buffered record waits this long for its first part's
// acknowledgement before it is relayed through the server.
const QString kAckTimeoutMs = QStringLiteral("5000");
constexpr int kDeliveryTimeoutMs = 180000;

QString wmailLibrary()
{
    return QStringLiteral(WIVORA_WMAIL_PLUGIN);
}

// The conversation with `peer` as the client's file holds it now; null when
// there is none or it cannot be read.
WMailConversation::Pointer stored(ClientProcess &client, const QString &peer)
{
    auto conversation = WMailConversation::Pointer::create(
        client.storagePath(QStringLiteral("pluginsstorage/%1/wmail").arg(client.user())), peer);
    return conversation->load() ? conversation : WMailConversation::Pointer();
}

int occurrences(ClientProcess &client, const QString &peer, const QString &id)
{
    const WMailConversation::Pointer conversation = stored(client, peer);
    return conversation ? conversation->messageIds().count(id) : 0;
}

// Waits until the client's conversation with peer holds id.
bool waitForMessage(ClientProcess &client, const QString &peer, const QString &id, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (occurrences(client, peer, id) == 0) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(50);
    }
    return true;
}

} // namespace

class tst_WMailDelivery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.clientEnvironment.insert(QString::fromLatin1(ProbeProtocol::AckTimeoutVariable), kAckTimeoutMs);
        QVERIFY2(m_fixture.startService({kAlice, kBob, kCarol}, {{kAlice, kBob}, {kCarol, kBob}}),
                 qPrintable(m_fixture.server.errorText()));
        for (const QString &user : {kBob, kAlice, kCarol}) {
            std::unique_ptr<ClientProcess> client = m_fixture.client(user);
            QVERIFY(client);
            QVERIFY(client->installPlugin(wmailLibrary()));
            QVERIFY2(client->start(), qPrintable(client->diagnostics()));
            m_clients.insert(user, client.release());
        }
    }
    void cleanupTestCase() { qDeleteAll(m_clients); }

    void messageArrivesOnce()
    {
        const QString first = send(kAlice, kBob, "<b>hello bob</b>");
        QVERIFY(!first.isEmpty());
        QVERIFY2(waitForMessage(bob(), kAlice, first, kDeliveryTimeoutMs), qPrintable(bob().diagnostics()));
        // A later message from alice comes after any repeat of the first.
        const QString second = send(kAlice, kBob, "and again");
        QVERIFY(waitForMessage(bob(), kAlice, second, kDeliveryTimeoutMs));
        QCOMPARE(occurrences(bob(), kAlice, first), 1);

        const WMailConversation::Pointer atBob = stored(bob(), kAlice);
        QCOMPARE(atBob->participants(), (QStringList{kBob, kAlice}));
        QCOMPARE(atBob->root()->findStructure(first)->sender, kAlice);
        QCOMPARE(atBob->loadItemPreview(first), QByteArray("<b>hello bob</b>"));
        QCOMPARE(occurrences(alice(), kBob, first), 1); // the author's own copy
    }

    void messageWaitsForALoggedOutReceiver()
    {
        QVERIFY2(bob().stop(), qPrintable(bob().diagnostics()));
        const QString id = send(kAlice, kBob, "while you were away");
        QVERIFY(!id.isEmpty());
        QVERIFY2(bob().start(), qPrintable(bob().diagnostics()));
        QVERIFY2(waitForMessage(bob(), kAlice, id, kDeliveryTimeoutMs), qPrintable(alice().diagnostics()));
        QCOMPARE(occurrences(bob(), kAlice, id), 1);
    }

    // Carol, a contact of bob, hands bob a record that says alice wrote it:
    // the host names carol as its sender, and the record is refused.
    void senderClaimingToBeAnotherIsRefused()
    {
        const WMailConversation::Pointer before = stored(bob(), kAlice);
        WMailStructure message;
        message.id = WMailStructure::newId();
        message.time = QDateTime::currentDateTimeUtc();
        message.localTime = message.time;
        message.itemType = QStringLiteral("text");
        message.sender = kAlice;
        message.recipients = QStringList{kAlice, kBob};
        const KvrConfig forged = WMailCommands::newMessageRecord(kAlice, kBob, QString(), QString(),
                                                                 message.serializeStructure(), "I am alice");
        QVERIFY(carol().probe().buffer(kBob, forged));
        // Carol's records reach bob in order: once her own message is filed,
        // the forged one has been judged.
        const QString genuine = send(kCarol, kBob, "hello from carol");
        QVERIFY2(waitForMessage(bob(), kCarol, genuine, kDeliveryTimeoutMs), qPrintable(carol().diagnostics()));

        QCOMPARE(occurrences(bob(), kAlice, message.id), 0);
        QCOMPARE(occurrences(bob(), kCarol, message.id), 0);
        QCOMPARE(stored(bob(), kAlice)->messageIds(), before ? before->messageIds() : QStringList());
    }

    // Bob is killed while messages arrive and are saved: his file still
    // loads and keeps everything he had filed; restarted, he gets what was
    // sent while he was down, each message once.
    void killWhileSavingKeepsTheConversation()
    {
        const int count = 200;
        QStringList sent;
        QStringList filedBeforeKill;
        int sentBeforeKill = 0;
        for (int i = 0; i < count; ++i) {
            const QString id = send(kAlice, kBob, QByteArray(2048, char('a' + i % 26)));
            QVERIFY(!id.isEmpty());
            sent << id;
            if (sentBeforeKill == 0 && i >= 10) {
                const WMailConversation::Pointer now = stored(bob(), kAlice);
                if (now && now->messageIds().contains(sent.at(2))) {
                    QVERIFY(bob().kill());
                    filedBeforeKill = now->messageIds();
                    sentBeforeKill = i + 1;
                }
            }
        }
        QVERIFY2(sentBeforeKill > 0, "bob filed too slowly to be killed while messages arrive");

        const WMailConversation::Pointer afterKill = stored(bob(), kAlice);
        QVERIFY(afterKill);
        QVERIFY(!afterKill->isDamaged());
        for (const QString &id : qAsConst(filedBeforeKill))
            QVERIFY(afterKill->messageIds().contains(id));

        QVERIFY2(bob().start(), qPrintable(bob().diagnostics()));
        QVERIFY2(waitForMessage(bob(), kAlice, sent.last(), kDeliveryTimeoutMs), qPrintable(alice().diagnostics()));
        const WMailConversation::Pointer restarted = stored(bob(), kAlice);
        QVERIFY(!restarted->isDamaged());
        const QStringList ids = restarted->messageIds();
        QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), ids.size());
        for (const QString &id : qAsConst(filedBeforeKill))
            QVERIFY(ids.contains(id));
        for (int i = sentBeforeKill; i < count; ++i)
            QVERIFY2(ids.contains(sent.at(i)), qPrintable(QString::number(i)));
    }

private:
    ClientProcess &alice() { return *m_clients.value(kAlice); }
    ClientProcess &bob() { return *m_clients.value(kBob); }
    ClientProcess &carol() { return *m_clients.value(kCarol); }

    // What the chat page does when `from` sends data to `to`: the new id.
    QString send(const QString &from, const QString &to, const QByteArray &data)
    {
        KvrConfig request;
        request.sv(QStringLiteral("user"), to);
        request.SetValue(QStringLiteral("data"), data);
        bool invoked = false;
        const KvrConfig answer =
            m_clients.value(from)->probe().invoke(kPlugin, QStringLiteral("sendMessage"), request, &invoked);
        return invoked && answer.checkResult() ? answer.gv(QStringLiteral("id")) : QString();
    }

    E2eFixture m_fixture;
    QHash<QString, ClientProcess *> m_clients;
};

WIVORA_TEST_MAIN(tst_WMailDelivery)
#include "tst_WMailDelivery.moc"
