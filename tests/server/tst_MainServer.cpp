// The main server's protocol, driven over real private links against a real
// wivora-server process.

#include "QtTestSuite.h"
#include "RecordingProxy.h"
#include "ServerProcess.h"
#include "ServerProtocol.h"
#include "PSettings.h"
#include "TcpConnection.h"
#include "UdpConnection.h"
#include "UdpTower.h"
#include "WCryptography.h"
#include "WServerCommands.h"
#include "WivoraAccount.h"

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QSharedPointer>
#include <QTcpSocket>

#include <QtConcurrent>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <functional>
#include <thread>
#include <QtTest>

namespace P = ServerProtocol;

namespace {

// One client link: requests with replies, and the records the server pushes.
class TestLink : public QObject
{
    Q_OBJECT
public:
    explicit TestLink(const ServerProcess &server, quint16 port = 0)
        : link(new TcpConnection, &QObject::deleteLater)
    {
        connect(link.data(), &TcpConnection::signalCommandReceived, this,
                [this](const QString &id, const QString &command) { m_arrived << qMakePair(id, command); });
        connect(link.data(), &TcpConnection::signalConnectionEnded, this, [this] { m_ended = true; });
        connected = link->connectToHost(server.host(), QString::number(port ? port : server.tcpPort()),
                                        server.publicKey());
    }

    KvrConfig ask(const char *command, const QList<QPair<QString, QByteArray>> &values = {})
    {
        KvrConfig request;
        request.SetID();
        request.SetValue(QStringLiteral("command"), command);
        for (const auto &value : values)
            request.SetValue(value.first, value.second);
        return link->sendCommand(request, ServerWaitMs);
    }

    bool login(const QString &user, const QString &password)
    {
        return ask(P::Login, {{P::KeyUserName, user.toUtf8()}, {P::KeyPassword, password.toUtf8()}}).checkResult();
    }

    ~TestLink() override { link->disconnectFromHost(); }

    // The next pushed record named command that passes accept (records of
    // that name that do not are dropped); empty when none came in time.
    KvrConfig waitForPush(const QString &command,
                          const std::function<bool(const KvrConfig &)> &accept = nullptr)
    {
        KvrConfig found;
        [[maybe_unused]] const bool arrived = QTest::qWaitFor(
            [&] {
                for (int i = 0; i < m_arrived.size(); ++i) {
                    if (m_arrived.at(i).second != command)
                        continue;
                    const KvrConfig record = link->getCommand(m_arrived.takeAt(i--).first, 0);
                    if (!accept || accept(record)) {
                        found = record;
                        return true;
                    }
                }
                return false;
            },
            ServerWaitMs);
        return found;
    }

    // The records announced so far, in order, taken from the link.
    QList<KvrConfig> takeArrived()
    {
        QList<KvrConfig> records;
        for (const auto &arrived : qAsConst(m_arrived))
            records << link->getCommand(arrived.first, 0);
        m_arrived.clear();
        return records;
    }
    int arrivedCount() const { return m_arrived.size(); }
    bool waitForEnd() { return QTest::qWaitFor([this] { return m_ended; }, ServerWaitMs); }

    QSharedPointer<TcpConnection> link;
    bool connected = false;

private:
    QList<QPair<QString, QString>> m_arrived;
    bool m_ended = false;
};

KvrConfig record(const QString &command, const QString &payload)
{
    KvrConfig result;
    result.SetID();
    result.SetValue(QStringLiteral("command"), command);
    result.SetValue(QStringLiteral("payload"), payload);
    return result;
}

} // namespace

class tst_MainServer : public QObject
{
    Q_OBJECT

private:
    ServerProcess m_server;
    QString m_alicePrivateKey;
    QString m_bobPrivateKey;

    QString privateKeyOf(const QString &user, const QString &password)
    {
        TestLink link(m_server);
        if (!link.login(user, password))
            return QString();
        WivoraAccount account;
        account.openAccount(link.ask(P::GetAccount).gv(P::KeyAccount), password, true);
        return account.getPrivateKey();
    }

    // A link that proved it is user with the signed challenge.
    bool authenticate(TestLink &link, const QString &user, const QString &privateKey)
    {
        const QByteArray challenge = link.ask(P::GetAuthenticationString).GetValue(P::KeyAuthString);
        const QByteArray signature =
            WCryptography::SignMessageRSASHA(privateKey, WServerCommands::AuthenticationMessage(challenge, QString()));
        return link.ask(P::AuthenticateUser, {{P::KeyUserName, user.toUtf8()}, {P::KeyAuthString, signature}})
            .checkResult();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.addUser(QStringLiteral("alice"), QStringLiteral("alice-pw")));
        QVERIFY(m_server.addUser(QStringLiteral("bob"), QStringLiteral("bob-pw")));
        QVERIFY(m_server.addUser(QStringLiteral("carol"), QStringLiteral("carol-pw")));
        QVERIFY(m_server.addContact(QStringLiteral("alice"), QStringLiteral("bob")));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorText()));
        m_alicePrivateKey = privateKeyOf(QStringLiteral("alice"), QStringLiteral("alice-pw"));
        m_bobPrivateKey = privateKeyOf(QStringLiteral("bob"), QStringLiteral("bob-pw"));
        QVERIFY(!m_alicePrivateKey.isEmpty() && !m_bobPrivateKey.isEmpty());
    }

    void login_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right") << "alice" << "alice-pw" << true;
        QTest::newRow("name in capitals") << "ALICE" << "alice-pw" << true;
        QTest::newRow("wrong password") << "alice" << "alice-PW" << false;
        QTest::newRow("another user's password") << "alice" << "bob-pw" << false;
        QTest::newRow("unknown user") << "mallory" << "alice-pw" << false;
        QTest::newRow("empty password") << "alice" << "" << false;
    }
    void login()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        TestLink link(m_server);
        QVERIFY(link.connected);
        QCOMPARE(link.login(user, password), accepted);
        // Only a login opens the account.
        QCOMPARE(link.ask(P::GetAccount).checkResult(), accepted);
    }

    void namesInAnyCaseReachOneAccount()
    {
        TestLink upper(m_server);
        QVERIFY(upper.login(QStringLiteral("Alice"), QStringLiteral("alice-pw")));
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QVERIFY(upper.ask(P::SaveAccount, {{P::KeyAccount, "account text of Alice"}}).checkResult());

        TestLink lower(m_server);
        QVERIFY(lower.login(QStringLiteral("alice"), QStringLiteral("alice-pw")));
        QCOMPARE(lower.ask(P::GetAccount).gv(P::KeyAccount), QStringLiteral("account text of Alice"));
        const QDateTime saved =
            QDateTime::fromString(lower.ask(P::GetLastAccountSaveTime).gv(P::KeyTime), Qt::ISODate);
        QVERIFY(saved.isValid());
        QCOMPARE(saved.timeSpec(), Qt::UTC);
        QVERIFY(saved >= before);
        // The older link of the same user is told to log out.
        QVERIFY(!upper.waitForPush(P::PushLogout).isEmpty());
    }

    void storeSurvivesRestart()
    {
        ServerProcess server;
        QVERIFY(server.addUser(QStringLiteral("dave"), QStringLiteral("dave-pw")));
        QVERIFY(server.addUser(QStringLiteral("erin"), QStringLiteral("erin-pw")));
        QVERIFY(server.start());
        {
            TestLink link(server);
            QVERIFY(link.login(QStringLiteral("dave"), QStringLiteral("dave-pw")));
            QVERIFY(link.ask(P::SaveAccount, {{P::KeyAccount, "saved before restart"}}).checkResult());
            QVERIFY(link.ask(P::SetPassword, {{P::KeyPassword, "new-pw"}}).checkResult());
            TestLink erin(server);
            QVERIFY(erin.login(QStringLiteral("ERIN"), QStringLiteral("erin-pw")));
            QVERIFY(erin.ask(P::SendExchangeCommand,
                             {{P::KeyReceiver, "dave"}, {P::KeyRecord, record("a:::b", "kept").SerializeConfigBinary()}})
                        .checkResult());
        }
        QVERIFY(server.restart());
        TestLink link(server);
        QVERIFY(!link.login(QStringLiteral("dave"), QStringLiteral("dave-pw")));
        QVERIFY(link.login(QStringLiteral("dave"), QStringLiteral("new-pw")));
        QCOMPARE(link.ask(P::GetAccount).gv(P::KeyAccount), QStringLiteral("saved before restart"));
        const KvrConfig reply = link.ask(P::GetExchangeCommand);
        KvrConfig relayed;
        QVERIFY(relayed.DeserializeConfigBinary(reply.GetValue(P::KeyRecord)));
        QCOMPARE(relayed.gv(QStringLiteral("payload")), QStringLiteral("kept"));
        QCOMPARE(reply.gv(P::KeySender), QStringLiteral("erin"));
        QVERIFY2(server.stop(), qPrintable(server.output()));
    }

    void statusChangesReachOnlineContacts()
    {
        TestLink bob(m_server);
        QVERIFY(bob.login(QStringLiteral("bob"), QStringLiteral("bob-pw")));
        auto alice = QSharedPointer<TestLink>::create(m_server);
        QVERIFY(alice->login(QStringLiteral("Alice"), QStringLiteral("alice-pw")));
        QVERIFY(alice->ask(P::UpdateUserStatus, {{P::KeyStatus, "3"}}).checkResult());

        auto statusOfAlice = [](const char *status) {
            return [status](const KvrConfig &push) {
                return push.gv(P::KeyUserName) == QLatin1String("alice") && push.gv(P::KeyStatus) == QLatin1String(status);
            };
        };
        QVERIFY(!bob.waitForPush(P::PushUserStatusChanged, statusOfAlice("3")).isEmpty());

        const KvrConfig status =
            bob.ask(P::GetUserStatus, {{P::KeyUsers, "Alice,bob,carol,nobody,"}});
        QCOMPARE(status.gv(QStringLiteral("user::alice")), QStringLiteral("3"));
        QVERIFY(status.CheckKeyExist(QStringLiteral("user::bob")));
        QCOMPARE(status.gv(QStringLiteral("user::carol")), QStringLiteral("0"));
        QVERIFY(!status.CheckKeyExist(QStringLiteral("user::nobody")));
        QCOMPARE(bob.ask(P::GetConnectedUsers).gv(P::KeyUsers), QStringLiteral("alice,"));

        alice->link->disconnectFromHost();
        alice.reset();
        QVERIFY(!bob.waitForPush(P::PushUserStatusChanged, statusOfAlice("0")).isEmpty());
    }

    void hostInformation()
    {
        TestLink alice(m_server);
        QVERIFY(alice.login(QStringLiteral("alice"), QStringLiteral("alice-pw")));
        const KvrConfig sent = alice.ask(P::SendHostInformation, {{P::KeyAddresses, "10.1.2.3,127.0.0.1"}, {P::KeyPort, "15001"}});
        QCOMPARE(sent.gv(P::KeyExternalIp), QStringLiteral("127.0.0.1"));

        TestLink bob(m_server);
        QVERIFY(bob.login(QStringLiteral("bob"), QStringLiteral("bob-pw")));
        const KvrConfig online = bob.ask(P::GetUserHostInfo, {{P::KeyUserName, "ALICE"}});
        QCOMPARE(online.gv(P::KeyAddresses), QStringLiteral("10.1.2.3,127.0.0.1"));
        QCOMPARE(online.gv(P::KeyTcpPort), QStringLiteral("15001"));
        for (const char *user : {"carol", "nobody"}) {
            const KvrConfig offline = bob.ask(P::GetUserHostInfo, {{P::KeyUserName, user}});
            QVERIFY(!offline.checkResult());
            QVERIFY(!offline.CheckKeyExist(P::KeyAddresses));
            QVERIFY(!offline.CheckKeyExist(P::KeyTcpPort));
        }
    }

    void handshake_data()
    {
        QTest::addColumn<bool>("askChallenge");
        QTest::addColumn<QString>("signer");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("own key") << true << "alice" << true;
        QTest::newRow("another key") << true << "other" << false;
        QTest::newRow("no challenge first") << false << "alice" << false;
    }
    void handshake()
    {
        QFETCH(bool, askChallenge);
        QFETCH(QString, signer);
        QFETCH(bool, accepted);
        TestLink link(m_server);
        QByteArray challenge = "made up";
        if (askChallenge) {
            const KvrConfig reply = link.ask(P::GetAuthenticationString);
            QVERIFY(reply.checkResult());
            QCOMPARE(reply.gv(P::KeyCommand), QString::fromLatin1(P::GetAuthenticationString));
            challenge = reply.GetValue(P::KeyAuthString);
            QVERIFY(challenge.size() >= 32);
        }
        const QString key = signer == QLatin1String("alice") ? m_alicePrivateKey
                                                              : WCryptography::GenerateKeyPair().privateKey;
        const QByteArray signature =
            WCryptography::SignMessageRSASHA(key, WServerCommands::AuthenticationMessage(challenge, QString()));
        const KvrConfig reply = link.ask(P::AuthenticateUser, {{P::KeyUserName, "Alice"}, {P::KeyAuthString, signature}});
        QCOMPARE(reply.checkResult(), accepted);
        // A challenge answers one attempt only.
        QVERIFY(!link.ask(P::AuthenticateUser, {{P::KeyUserName, "alice"}, {P::KeyAuthString, signature}}).checkResult());
    }

    void tunnel()
    {
        TestLink bobMain(m_server);
        QVERIFY(bobMain.login(QStringLiteral("bob"), QStringLiteral("bob-pw")));
        TestLink aliceLeg(m_server);
        // Only a link that proved its user may open a tunnel.
        QVERIFY(!aliceLeg.ask(P::InitTunnelConnection, {{P::KeyUserName, "alice"}, {P::KeyPeer, "bob"}}).checkResult());
        QVERIFY(authenticate(aliceLeg, QStringLiteral("alice"), m_alicePrivateKey));
        QVERIFY(aliceLeg.ask(P::InitTunnelConnection, {{P::KeyUserName, "alice"}, {P::KeyPeer, "Bob"}}).checkResult());
        // Records sent before the peer joins wait for it.
        const QList<KvrConfig> toBob{record("x:::first", "1"), record("ping", "2"), record("x:::third", "3")};
        for (const KvrConfig &r : toBob)
            QVERIFY(aliceLeg.link->pushCommand(r));

        const KvrConfig invitation = bobMain.waitForPush(P::PushInitTunnelConnection);
        QCOMPARE(invitation.gv(P::KeySender), QStringLiteral("alice"));
        const QString tunnelId = invitation.gv(P::KeyTunnelId);
        QVERIFY(QRegularExpression(QStringLiteral("^\\{[0-9a-f-]{36}\\}$")).match(tunnelId).hasMatch());

        TestLink bobLeg(m_server);
        QVERIFY(bobLeg.ask(P::AcceptTunnelConnection, {{P::KeyTunnelId, tunnelId.toUtf8()}}).checkResult());
        QVERIFY(QTest::qWaitFor([&] { return bobLeg.arrivedCount() == 3; }, ServerWaitMs));
        QCOMPARE(bobLeg.takeArrived(), toBob);

        const QList<KvrConfig> toAlice{record("x:::a", "a"), record("x:::b", "b")};
        for (const KvrConfig &r : toAlice)
            QVERIFY(bobLeg.link->pushCommand(r));
        QVERIFY(QTest::qWaitFor([&] { return aliceLeg.arrivedCount() == 2; }, ServerWaitMs));
        QCOMPARE(aliceLeg.takeArrived(), toAlice);

        // The id is used up.
        TestLink thief(m_server);
        QVERIFY(!thief.ask(P::AcceptTunnelConnection, {{P::KeyTunnelId, tunnelId.toUtf8()}}).checkResult());

        // Closing one leg closes the other.
        bobLeg.link->disconnectFromHost();
        QVERIFY(aliceLeg.waitForEnd());
    }

    void unjoinedTunnelIsDropped()
    {
        ServerProcess server({QStringLiteral("--tunnel-timeout-ms"), QStringLiteral("300")});
        QVERIFY(server.addUser(QStringLiteral("erin"), QStringLiteral("erin-pw")));
        QVERIFY(server.addUser(QStringLiteral("frank"), QStringLiteral("frank-pw")));
        QVERIFY(server.start());
        QString erinKey;
        {
            TestLink link(server);
            QVERIFY(link.login(QStringLiteral("erin"), QStringLiteral("erin-pw")));
            WivoraAccount account;
            QVERIFY(account.openAccount(link.ask(P::GetAccount).gv(P::KeyAccount), QStringLiteral("erin-pw"), true));
            erinKey = account.getPrivateKey();
        }
        TestLink frank(server);
        QVERIFY(frank.login(QStringLiteral("frank"), QStringLiteral("frank-pw")));
        TestLink erinLeg(server);
        QVERIFY(authenticate(erinLeg, QStringLiteral("erin"), erinKey));
        QVERIFY(erinLeg.ask(P::InitTunnelConnection, {{P::KeyUserName, "erin"}, {P::KeyPeer, "frank"}}).checkResult());
        const QString tunnelId = frank.waitForPush(P::PushInitTunnelConnection).gv(P::KeyTunnelId);
        QVERIFY(erinLeg.waitForEnd());
        TestLink late(server);
        QVERIFY(!late.ask(P::AcceptTunnelConnection, {{P::KeyTunnelId, tunnelId.toUtf8()}}).checkResult());
    }

    void relayKeepsOrderForOfflineUsers()
    {
        TestLink alice(m_server);
        QVERIFY(alice.login(QStringLiteral("alice"), QStringLiteral("alice-pw")));
        QList<KvrConfig> sent;
        for (int i = 0; i < 3; ++i) {
            KvrConfig r = record(QStringLiteral("wmail:::message"), QString::number(i));
            r.SetValue(QStringLiteral("Wivora::sender"), "mallory");
            QVERIFY(alice.ask(P::SendExchangeCommand, {{P::KeyReceiver, "CAROL"}, {P::KeyRecord, r.SerializeConfigBinary()}})
                        .checkResult());
            r.RemoveKey(QStringLiteral("Wivora::sender"));
            sent << r;
        }

        TestLink carol(m_server);
        QVERIFY(carol.login(QStringLiteral("carol"), QStringLiteral("carol-pw")));
        KvrConfig trigger;
        trigger.SetID();
        trigger.SetValue(QStringLiteral("command"), P::ExchangeCommandTrigger);
        QVERIFY(carol.link->pushCommand(trigger));
        QVERIFY(!carol.waitForPush(P::PushExchangeMessageAvailable).isEmpty());
        for (const KvrConfig &expected : sent) {
            const KvrConfig reply = carol.ask(P::GetExchangeCommand);
            KvrConfig relayed;
            QVERIFY(relayed.DeserializeConfigBinary(reply.GetValue(P::KeyRecord)));
            QCOMPARE(relayed, expected);
            // The forged sender inside is gone; the server names the real one.
            QCOMPARE(reply.gv(P::KeySender), QStringLiteral("alice"));
        }
        const KvrConfig empty = carol.ask(P::GetExchangeCommand);
        QVERIFY(!empty.checkResult());
        QVERIFY(!empty.CheckKeyExist(P::KeyRecord));
        QVERIFY(!empty.CheckKeyExist(P::KeySender));
        // The trigger itself is never answered.
        QCOMPARE(carol.arrivedCount(), 0);

        // A receiver who is online is told at once.
        QVERIFY(alice.ask(P::SendExchangeCommand, {{P::KeyReceiver, "carol"}, {P::KeyRecord, sent.first().SerializeConfigBinary()}})
                    .checkResult());
        QVERIFY(!carol.waitForPush(P::PushExchangeMessageAvailable).isEmpty());
        QVERIFY(carol.ask(P::GetExchangeCommand).checkResult());
    }

    // Fetched with "keep", a relayed record stays at the head of the queue
    // until its receiver names it for deletion: a receiver that ends before
    // storing it gets it again. Nobody deletes from another user's queue.
    void keptRecordLeavesOnlyWhenItsReceiverDeletesIt()
    {
        TestLink alice(m_server);
        QVERIFY(alice.login(QStringLiteral("alice"), QStringLiteral("alice-pw")));
        QList<KvrConfig> sent;
        for (int i = 0; i < 2; ++i) {
            sent << record(QStringLiteral("wmail:::message"), QString::number(i));
            QVERIFY(alice.ask(P::SendExchangeCommand, {{P::KeyReceiver, "carol"}, {P::KeyRecord, sent.last().SerializeConfigBinary()}})
                        .checkResult());
        }
        TestLink carol(m_server);
        QVERIFY(carol.login(QStringLiteral("carol"), QStringLiteral("carol-pw")));
        const auto peek = [&carol](QByteArray *exchangeId, const QByteArray &after = QByteArray()) {
            const KvrConfig reply = carol.ask(P::GetExchangeCommand, {{P::KeyKeep, "1"}, {P::KeyAfter, after}});
            *exchangeId = reply.GetValue(P::KeyExchangeId);
            KvrConfig relayed;
            relayed.DeserializeConfigBinary(reply.GetValue(P::KeyRecord));
            return relayed;
        };

        QByteArray firstId;
        QCOMPARE(peek(&firstId), sent.at(0));
        QByteArray again;
        QCOMPARE(peek(&again), sent.at(0));
        QCOMPARE(again, firstId);
        // After the head: the next kept record, so several can be stored
        // before any is deleted; after the last, none.
        QByteArray nextId;
        QCOMPARE(peek(&nextId, firstId), sent.at(1));
        QVERIFY(nextId.toLongLong() > firstId.toLongLong());
        QByteArray none;
        QVERIFY(peek(&none, nextId).isEmpty());

        // Alice cannot delete from carol's queue, and a wrong id deletes nothing.
        QVERIFY(alice.ask(P::DeleteExchangeCommand, {{P::KeyExchangeId, firstId}}).checkResult());
        QVERIFY(!carol.ask(P::DeleteExchangeCommand, {{P::KeyExchangeId, "not a number"}}).checkResult());
        QCOMPARE(peek(&again), sent.at(0));

        QVERIFY(carol.ask(P::DeleteExchangeCommand, {{P::KeyExchangeId, firstId}}).checkResult());
        // Deleting again (an answer that was lost) is no failure.
        QVERIFY(carol.ask(P::DeleteExchangeCommand, {{P::KeyExchangeId, firstId}}).checkResult());
        QByteArray secondId;
        QCOMPARE(peek(&secondId), sent.at(1));
        QVERIFY(secondId != firstId);
        // The plain fetch still takes the head.
        QVERIFY(carol.ask(P::GetExchangeCommand).checkResult());
        QVERIFY(peek(&none).isEmpty());
    }

    void guessingIsThrottledPerAccountAndAddress()
    {
        // A server of its own: the guesses below use up this address's budget.
        ServerProcess server;
        QVERIFY(server.addUser(QStringLiteral("dave"), QStringLiteral("dave-pw")));
        QVERIFY(server.addUser(QStringLiteral("erin"), QStringLiteral("erin-pw")));
        QVERIFY(server.start());
        TestLink guesser(server);
        auto guess = [&](const QString &user, const QString &password) {
            return guesser.ask(P::Login, {{P::KeyUserName, user.toUtf8()}, {P::KeyPassword, password.toUtf8()}});
        };
        for (int i = 0; i < 5; ++i) {
            const KvrConfig reply = guess(QStringLiteral("dave"), QStringLiteral("guess%1").arg(i));
            QVERIFY(!reply.isEmpty() && !reply.checkResult());
            QVERIFY(!reply.CheckKeyExist(P::KeyReason));
        }
        // The sixth is still checked and starts the wait; during the wait even
        // the right password is refused unchecked, with the reason.
        QVERIFY(!guess(QStringLiteral("dave"), QStringLiteral("guess5")).checkResult());
        const KvrConfig refused = guess(QStringLiteral("DAVE"), QStringLiteral("dave-pw"));
        QVERIFY(!refused.checkResult());
        QVERIFY2(refused.gv(P::KeyReason).contains(QStringLiteral("too many failed logins")),
                 qPrintable(refused.gv(P::KeyReason)));
        QVERIFY(QTest::qWaitFor([&] { return server.output().contains(QStringLiteral("login throttled: dave from 127.0.0.1")); }));
        // Another account from the same address has its own budget.
        QVERIFY(TestLink(server).login(QStringLiteral("erin"), QStringLiteral("erin-pw")));
        // After the first wait (a second) the right password is let through.
        QVERIFY(QTest::qWaitFor([&] { return guess(QStringLiteral("dave"), QStringLiteral("dave-pw")).checkResult(); },
                                5000));
        QVERIFY2(server.stop(), qPrintable(server.output()));
    }

    void requestsBehindALoginAreAnsweredInOrder()
    {
        // Passwords are checked and hashed off the main thread; what the link
        // sent after them still gets its reply after theirs.
        TestLink link(m_server);
        KvrConfig login = record(QString::fromLatin1(P::Login), QString());
        login.SetValue(P::KeyUserName, "bob");
        login.SetValue(P::KeyPassword, "bob-pw");
        KvrConfig newPassword = record(QString::fromLatin1(P::SetPassword), QString());
        newPassword.SetValue(P::KeyPassword, "bob-pw");
        const KvrConfig account = record(QString::fromLatin1(P::GetAccount), QString());
        const KvrConfig ping = record(QString::fromLatin1(P::Ping), QString());
        const QList<KvrConfig> sent{login, newPassword, account, ping};
        for (const KvrConfig &request : sent)
            QVERIFY(link.link->pushCommand(request));
        QVERIFY(QTest::qWaitFor([&] { return link.arrivedCount() >= sent.size(); }, ServerWaitMs));
        const QList<KvrConfig> replies = link.takeArrived();
        QCOMPARE(replies.size(), sent.size());
        for (int i = 0; i < sent.size(); ++i) {
            QCOMPARE(replies.at(i).GetID(), sent.at(i).GetID());
            QVERIFY(replies.at(i).checkResult()); // the later ones as the logged-in bob
        }
    }

    void eachRequestIsLoggedByNameAndUser_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QString>("line");
        QTest::newRow("a request of a logged-in user") << QByteArray(P::GetTime) << "request Server::GetTime carol";
        QTest::newRow("a made-up name is not repeated")
            << QByteArray("Server::Evil\nrequest Server::Login root") << "request (unknown) carol";
    }
    void eachRequestIsLoggedByNameAndUser()
    {
        QFETCH(QByteArray, command);
        QFETCH(QString, line);
        TestLink link(m_server);
        QVERIFY(link.login(QStringLiteral("carol"), QStringLiteral("carol-pw")));
        link.ask(command.constData(), {{P::KeyText, "value-never-logged"}});
        QVERIFY(QTest::qWaitFor([&] { return m_server.output().contains(line); }));
        QVERIFY(m_server.output().contains(QStringLiteral("request Server::Login carol")));
        QVERIFY(!m_server.output().contains(QStringLiteral("value-never-logged")));
        QVERIFY(!m_server.output().contains(QStringLiteral("carol-pw")));
        QVERIFY(!m_server.output().contains(QStringLiteral("request Server::Login root")));
    }

    void loginOnTheWireIsPrivate()
    {
        RecordingProxy proxy(m_server.tcpPort());
        TestLink link(m_server, proxy.port());
        QVERIFY(link.connected);
        QVERIFY(link.login(QStringLiteral("alice"), QStringLiteral("alice-pw")));
        QVERIFY(link.ask(P::SaveAccount, {{P::KeyAccount, "secret-account-marker"}}).checkResult());
        QCOMPARE(link.ask(P::GetAccount).gv(P::KeyAccount), QStringLiteral("secret-account-marker"));
        const QByteArray wire = proxy.recorded();
        QVERIFY(wire.size() > 100);
        for (const char *clear : {"alice-pw", "secret-account-marker", "Server::Login", "username", "alice"})
            QVERIFY2(!wire.contains(clear), clear);
    }

    void badRequests_data()
    {
        QTest::addColumn<KvrConfig>("request");
        auto make = [](const char *command, const QList<QPair<QString, QByteArray>> &values) {
            KvrConfig r;
            r.SetID();
            r.SetValue(QStringLiteral("command"), command);
            for (const auto &v : values)
                r.SetValue(v.first, v.second);
            return r;
        };
        QTest::newRow("unknown name") << make("Server::NoSuchThing", {});
        QTest::newRow("no command") << make("", {});
        QTest::newRow("login without password") << make(P::Login, {{P::KeyUserName, "alice"}});
        QTest::newRow("account before login") << make(P::GetAccount, {});
        QTest::newRow("status not a number") << make(P::UpdateUserStatus, {{P::KeyStatus, "x"}});
        QTest::newRow("damaged relayed record")
            << make(P::SendExchangeCommand, {{P::KeyReceiver, "bob"}, {P::KeyRecord, "\x00\x00\x00\x05garbage"}});
        QTest::newRow("relay posing as a push")
            << make(P::SendExchangeCommand,
                    {{P::KeyReceiver, "bob"}, {P::KeyRecord, record("Local::Logout", "").SerializeConfigBinary()}});
        QTest::newRow("relay to nobody")
            << make(P::SendExchangeCommand, {{P::KeyReceiver, "nobody"}, {P::KeyRecord, record("a:::b", "").SerializeConfigBinary()}});
        QTest::newRow("too many users") << make(P::GetUserStatus, {{P::KeyUsers, QByteArray("a,").repeated(5000)}});
        QTest::newRow("contact of another user")
            << make(P::ConnectToUser, {{P::KeyUserName, "carol"}, {P::KeyContact, "bob"}});
        QTest::newRow("damaged vcard") << make(P::UpdateVCard, {{P::KeyVCard, "%%%not a tree%%%"}});
        QTest::newRow("tunnel on a main link")
            << make(P::InitTunnelConnection, {{P::KeyUserName, "alice"}, {P::KeyPeer, "bob"}});
        QTest::newRow("unknown tunnel") << make(P::AcceptTunnelConnection, {{P::KeyTunnelId, "{00000000-0000-0000-0000-000000000000}"}});
    }
    void badRequests()
    {
        QFETCH(KvrConfig, request);
        TestLink link(m_server);
        const bool needsLogin = request.gv(QStringLiteral("command")) != QLatin1String(P::GetAccount)
                                && request.gv(QStringLiteral("command")) != QLatin1String(P::Login);
        if (needsLogin)
            QVERIFY(link.login(QStringLiteral("alice"), QStringLiteral("alice-pw")));
        const KvrConfig reply = link.link->sendCommand(request, ServerWaitMs);
        QCOMPARE(reply.GetID(), request.GetID());
        QVERIFY(!reply.checkResult());
        // The link and the server keep working.
        QCOMPARE(link.ask(P::Ping).gv(P::KeyCommand), QString::fromLatin1(P::Pong));
    }

    void damagedFramesCloseOnlyTheirLink()
    {
        // Each a whole TLS record header or more: a shorter start leaves the
        // server waiting for the rest until the pending-link time limit.
        const QList<QByteArray> garbage{QByteArray(64, '\xff'), QByteArray(5, '\0'),
                                        QByteArray("\x7f\xff\xff\xff", 4) + QByteArray(1000, 'a')};
        for (const QByteArray &bytes : garbage) {
            QTcpSocket socket;
            socket.connectToHost(m_server.host(), m_server.tcpPort());
            QVERIFY(socket.waitForConnected(ServerWaitMs));
            socket.write(bytes);
            socket.flush();
            QVERIFY(socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(ServerWaitMs));
        }
        TestLink link(m_server);
        QVERIFY(link.login(QStringLiteral("bob"), QStringLiteral("bob-pw")));
    }

    void queries()
    {
        // A short link with no login may ask these.
        TestLink link(m_server);
        QCOMPARE(link.ask(P::GetServerPublicKey).gv(P::KeyPublicKey), m_server.publicKey());
        QVERIFY(link.ask(P::GetUserPublicKey, {{P::KeyUserName, "BOB"}}).gv(P::KeyPublicKey).contains("PUBLIC KEY"));
        QVERIFY(!link.ask(P::GetUserPublicKey, {{P::KeyUserName, "nobody"}}).checkResult());
        const QDateTime serverTime = QDateTime::fromString(link.ask(P::GetTime).gv(P::KeyTime), Qt::ISODate);
        QVERIFY(qAbs(serverTime.secsTo(QDateTime::currentDateTimeUtc())) < 60);

        const KvrConfig found = link.ask(P::FindUser, {{P::KeyText, "ARO"}});
        QCOMPARE(found.gv(P::KeyCount), QStringLiteral("1"));
        KvrConfig match;
        QVERIFY(match.DeserializeConfigBinary(found.GetValue(QStringLiteral("match::0"))));
        QCOMPARE(match.gv(P::KeyUserName), QStringLiteral("carol"));
        QCOMPARE(link.ask(P::FindUser, {{P::KeyText, ""}}).gv(P::KeyCount), QStringLiteral("0"));

        QVERIFY(link.ask(P::GetUserVCard, {{P::KeyUserName, "carol"}}).checkResult());
        QVERIFY(!link.ask(P::GetUserVCard, {{P::KeyUserName, "nobody"}}).checkResult());
        const KvrConfig update = link.ask(P::CheckClientUpdate, {{P::KeyPlatform, "linux"}, {P::KeyBuild, "1021"}});
        QVERIFY(update.checkResult());
        QCOMPARE(update.gv(P::KeyUrl), QString());
    }

    void contactsAddedByTheAdministratorReachTheAccount()
    {
        QVERIFY(m_server.addContact(QStringLiteral("carol"), QStringLiteral("bob")));
        TestLink carol(m_server);
        QVERIFY(carol.login(QStringLiteral("carol"), QStringLiteral("carol-pw")));
        WivoraAccount account;
        QVERIFY(account.openAccount(carol.ask(P::GetAccount).gv(P::KeyAccount), QStringLiteral("carol-pw"), true));
        const auto bob = account.contactsData->GetStructureByValue(QStringLiteral("section"), QStringLiteral("bob"));
        QVERIFY(bob);
        QCOMPARE(bob->gv(QStringLiteral("username")), QStringLiteral("bob"));
        QCOMPARE(account.contactsData->childCount(), 1);
        QVERIFY(account.settingsData->getSetting(QStringLiteral("servers/tcpport")).toInt() > 15000);
    }

    void udpRendezvous()
    {
        PSettings::SetValue(QStringLiteral("service/port"), m_server.tcpPort());
        TestLink keys(m_server);
        const QString alicePublic = keys.ask(P::GetUserPublicKey, {{P::KeyUserName, "alice"}}).gv(P::KeyPublicKey);
        const QString bobPublic = keys.ask(P::GetUserPublicKey, {{P::KeyUserName, "bob"}}).gv(P::KeyPublicKey);
        const QString carolPublic = keys.ask(P::GetUserPublicKey, {{P::KeyUserName, "carol"}}).gv(P::KeyPublicKey);
        TestLink aliceMain(m_server);
        QVERIFY(aliceMain.login(QStringLiteral("alice"), QStringLiteral("alice-pw")));
        TestLink bobMain(m_server);
        QVERIFY(bobMain.login(QStringLiteral("bob"), QStringLiteral("bob-pw")));

        boost::asio::io_context io;
        auto work = boost::asio::make_work_guard(io);
        std::thread ioThread([&io] { io.run(); });
        {
            auto aliceTower = QSharedPointer<UdpTower>::create(io, UdpTower::Binding::Loopback);
            auto bobTower = QSharedPointer<UdpTower>::create(io, UdpTower::Binding::Loopback);
            UdpConnection alice(aliceTower);
            alice.setKeyPair(alicePublic, m_alicePrivateKey);
            QFuture<bool> initiated = QtConcurrent::run([&] {
                return alice.connectToHost(4242, m_server.host(), QStringLiteral("alice"), QStringLiteral("bob"), bobPublic);
            });

            // The server tells the peer, which then joins the same session.
            const KvrConfig notice = bobMain.waitForPush(P::PushInitUdpConnection);
            QCOMPARE(notice.gv(P::KeySessionId), QStringLiteral("4242"));
            QCOMPARE(notice.gv(P::KeySender), QStringLiteral("alice"));
            UdpConnection bob(bobTower);
            bob.setKeyPair(bobPublic, m_bobPrivateKey);
            bob.setPeerPublicKey(alicePublic);
            QVERIFY(bob.connectToHost(4242, m_server.host(), QStringLiteral("bob"), QStringLiteral("alice")));
            QVERIFY(initiated.result());
            const KvrConfig sent = record(QStringLiteral("x:::udp"), QStringLiteral("over udp"));
            QVERIFY(bob.pushCommand(sent));
            QCOMPARE(alice.getCommand(sent.GetID(), ServerWaitMs), sent);

            // carol is offline: the server refuses at once, nobody is told.
            UdpConnection toOffline(aliceTower);
            toOffline.setKeyPair(alicePublic, m_alicePrivateKey);
            QVERIFY(!toOffline.connectToHost(4243, m_server.host(), QStringLiteral("alice"), QStringLiteral("carol"),
                                             carolPublic));
        }
        work.reset();
        ioThread.join();
    }

    void cleanupTestCase() { QVERIFY2(m_server.stop(), qPrintable(m_server.output())); }
};

WIVORA_TEST_MAIN(tst_MainServer)
#include "tst_MainServer.moc"
