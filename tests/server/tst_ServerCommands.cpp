// The client's server commands (WServerCommands, MainServerCommands and the
// server look-ups of WUtilities) against a real wivora-server process.

#include "QtTestSuite.h"
#include "MainServerCommands.h"
#include "PSettings.h"
#include "ServerProcess.h"
#include "TcpConnection.h"
#include "WCryptography.h"
#include "WDataStructure.h"
#include "WServerCommands.h"
#include "WUtilities.h"
#include "WivoraAccount.h"

#include <QDateTime>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <QtTest>

using Link = WServerCommands::Link;

Q_DECLARE_METATYPE(std::function<bool()>)

namespace {

const QString ServerKeySetting = QStringLiteral("service/serverkey");
const QString KeyFileSetting = QStringLiteral("service/serverkeyfile");
const QString FingerprintSetting = QStringLiteral("service/serverkeysha256");
const QString AccountSiteSetting = QStringLiteral("service/accountsite");

// The records a link announces (pushes of the server, records that came
// through a tunnel), taken from the link as they are asked for.
class PushCollector : public QObject
{
public:
    explicit PushCollector(const Link &link) : m_link(link)
    {
        connect(link.data(), &TcpConnection::signalCommandReceived, this,
                [this](const QString &id, const QString &command) { m_arrived << qMakePair(id, command); });
    }

    // The next announced record named command that passes accept; empty
    // when none came in time.
    KvrConfig waitFor(const QString &command,
                      const std::function<bool(const KvrConfig &)> &accept = nullptr)
    {
        KvrConfig found;
        const bool arrived = QTest::qWaitFor(
            [&] {
                for (int i = 0; i < m_arrived.size(); ++i) {
                    if (m_arrived.at(i).second != command)
                        continue;
                    const KvrConfig record = m_link->getCommand(m_arrived.takeAt(i--).first, 0);
                    if (!accept || accept(record)) {
                        found = record;
                        return true;
                    }
                }
                return false;
            },
            ServerWaitMs);
        return arrived ? found : KvrConfig();
    }

private:
    Link m_link;
    QList<QPair<QString, QString>> m_arrived;
};

// Answers every HTTP request with a 200 page that is not a key.
class NotAKeySite : public QTcpServer
{
public:
    NotAKeySite()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    socket->readAll();
                    socket->write("HTTP/1.0 200 OK\r\nContent-Length: 13\r\n\r\n<html></html>");
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(serverPort()); }
};

QSharedPointer<WivoraAccount> accountOf(const QString &user)
{
    QSharedPointer<WivoraAccount> account(new WivoraAccount);
    account->setUserName(user);
    return account;
}

KvrConfig numbered(int n)
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), QStringLiteral("wftp:::relayed"));
    record.SetValue(QStringLiteral("n"), n);
    return record;
}

// "user::a=1;user::b=0" for the status keys of a record.
QString statusText(const KvrConfig &record)
{
    QStringList parts;
    for (int i = 0; i < record.size(); ++i)
        parts << record.GetKey(i) + QLatin1Char('=') + QString::fromUtf8(record.GetValue(i));
    parts.sort();
    return parts.join(QLatin1Char(';'));
}

} // namespace

class tst_ServerCommands : public QObject
{
    Q_OBJECT

private:
    ServerProcess m_server;
    QString m_privateKeys[2]; // alice's, bob's
    Link m_staleLink;         // logged in before the server stopped

    Link connectedLink()
    {
        Link link(new TcpConnection);
        if (!link->connectToHost(m_server.host(), QString::number(m_server.tcpPort()), m_server.publicKey()))
            return {};
        return link;
    }

    Link loggedIn(const QString &user)
    {
        Link link = connectedLink();
        if (!link || !WServerCommands::Login(user, user + QStringLiteral("-pw"), link))
            return {};
        return link;
    }

    // A link that passed the handshake as user.
    Link authenticated(const QString &user, const QString &privateKey)
    {
        Link link = connectedLink();
        if (!link)
            return {};
        const QByteArray challenge = WServerCommands::GetAuthenticationString(link);
        const QByteArray signature =
            WCryptography::SignMessageRSASHA(privateKey, WServerCommands::AuthenticationMessage(challenge, QString()));
        return WServerCommands::VerifyUser(user, signature, link) ? link : Link();
    }

    void pinServerKey() { PSettings::SetValue(ServerKeySetting, m_server.publicKey()); }

private slots:
    void initTestCase()
    {
        for (const char *user : {"alice", "bob", "carol", "dave"})
            QVERIFY(m_server.addUser(QLatin1String(user), QLatin1String(user) + QStringLiteral("-pw")));
        QVERIFY(m_server.addContact(QStringLiteral("alice"), QStringLiteral("bob")));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorText()));
        QVERIFY(m_server.httpPort() != 0);

        PSettings::SetValue(QStringLiteral("mainserverip"), m_server.host());
        PSettings::SetValue(QStringLiteral("service/port"), QString::number(m_server.tcpPort()));
        PSettings::SetValue(AccountSiteSetting, QStringLiteral("http://127.0.0.1:%1").arg(m_server.httpPort()));
        pinServerKey();

        // The signing keys live in the account texts the server keeps.
        const QString users[2] = {QStringLiteral("alice"), QStringLiteral("bob")};
        for (int i = 0; i < 2; ++i) {
            const Link link = loggedIn(users[i]);
            QVERIFY(link);
            WivoraAccount account;
            QVERIFY(account.openAccount(WServerCommands::getAccount(link), users[i] + QStringLiteral("-pw"), true));
            m_privateKeys[i] = account.getPrivateKey();
            QVERIFY(!m_privateKeys[i].isEmpty());
        }
    }

    void userIp_data()
    {
        QTest::addColumn<QString>("mainServerIp");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("expected");
        QTest::newRow("main server address wins") << "10.0.0.1" << "10.0.0.2" << "10.0.0.1";
        QTest::newRow("domain when no address") << "" << "server.example" << "server.example";
        QTest::newRow("loopback when neither") << "" << "" << "127.0.0.1";
    }

    void userIp()
    {
        QFETCH(QString, mainServerIp);
        QFETCH(QString, domain);
        QFETCH(QString, expected);
        const QVariant savedIp = PSettings::GetValue(QStringLiteral("mainserverip"));
        PSettings::SetValue(QStringLiteral("mainserverip"), mainServerIp);
        PSettings::SetValue(QStringLiteral("service/domain"), domain);
        const QString address = WUtilities::getUserIp(QStringLiteral("alice"));
        PSettings::SetValue(QStringLiteral("mainserverip"), savedIp);
        PSettings::RemoveValue(QStringLiteral("service/domain"));
        QCOMPARE(address, expected);
    }

    void serverKey_data()
    {
        QTest::addColumn<QString>("pinned");
        QTest::addColumn<QString>("site"); // "server", "closed", "not a key"
        QTest::addColumn<bool>("expectServerKey");
        QTest::addColumn<bool>("expectPinned");
        const QString otherKey = QStringLiteral("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----");
        QTest::newRow("pinned key is used, not fetched") << otherKey << "server" << false << true;
        QTest::newRow("first use fetches and pins") << "" << "server" << true << true;
        QTest::newRow("unreachable site gives nothing") << "" << "closed" << false << false;
        QTest::newRow("a page that is no key is not pinned") << "" << "not a key" << false << false;
    }

    void serverKey()
    {
        QFETCH(QString, pinned);
        QFETCH(QString, site);
        QFETCH(bool, expectServerKey);
        QFETCH(bool, expectPinned);
        NotAKeySite notAKey;
        const QVariant savedSite = PSettings::GetValue(AccountSiteSetting);
        if (site == QLatin1String("closed"))
            PSettings::SetValue(AccountSiteSetting, QStringLiteral("http://127.0.0.1:1"));
        else if (site == QLatin1String("not a key"))
            PSettings::SetValue(AccountSiteSetting, notAKey.url() + QLatin1Char('/'));
        if (pinned.isEmpty())
            PSettings::RemoveValue(ServerKeySetting);
        else
            PSettings::SetValue(ServerKeySetting, pinned);

        const QString key = WUtilities::getServerPublicKey(QStringLiteral("alice"));
        const QString pinnedAfter = PSettings::GetValue(ServerKeySetting).toString();
        PSettings::SetValue(AccountSiteSetting, savedSite);
        pinServerKey();

        if (expectServerKey)
            QCOMPARE(key, m_server.publicKey().trimmed());
        else
            QCOMPARE(key, pinned);
        QCOMPARE(!pinnedAfter.isEmpty(), expectPinned);
        if (expectPinned)
            QCOMPARE(pinnedAfter, key);
    }

    void serverKeyPin_data()
    {
        QTest::addColumn<QString>("keyFile");     // "server", "missing" or none
        QTest::addColumn<QString>("fingerprint"); // "server", "other" or none
        QTest::addColumn<QString>("kept");        // "other" or none
        QTest::addColumn<bool>("expectServerKey");
        QTest::addColumn<QString>("errorNames");  // the setting the refusal names
        QTest::newRow("key file wins over a kept key") << "server" << "" << "other" << true << "";
        QTest::newRow("key file that holds no key") << "missing" << "" << "" << false << "service/serverkeyfile";
        QTest::newRow("key file and its fingerprint") << "server" << "server" << "" << true << "";
        QTest::newRow("key file against another fingerprint") << "server" << "other" << "" << false
                                                              << "service/serverkeysha256";
        QTest::newRow("fingerprint of the served key") << "" << "server" << "" << true << "";
        QTest::newRow("kept key against the fingerprint: fetched again") << "" << "server" << "other" << true << "";
        QTest::newRow("served key against another fingerprint") << "" << "other" << "" << false
                                                                 << "service/serverkeysha256";
    }

    void serverKeyPin()
    {
        QFETCH(QString, keyFile);
        QFETCH(QString, fingerprint);
        QFETCH(QString, kept);
        QFETCH(bool, expectServerKey);
        QFETCH(QString, errorNames);
        const QString otherKey = WCryptography::GenerateKeyPair(2048).publicKey;
        const QString serverFile = QDir(m_server.dataDir()).filePath(QStringLiteral("server_public.pem"));
        if (keyFile == QLatin1String("server"))
            PSettings::SetValue(KeyFileSetting, serverFile);
        else if (keyFile == QLatin1String("missing"))
            PSettings::SetValue(KeyFileSetting, serverFile + QStringLiteral(".missing"));
        if (!fingerprint.isEmpty()) {
            // Written as people copy it: upper case, bytes apart.
            QString hex = WUtilities::publicKeyFingerprint(fingerprint == QLatin1String("server") ? m_server.publicKey()
                                                                                                   : otherKey)
                              .toUpper();
            for (int at = hex.size() - 2; at > 0; at -= 2)
                hex.insert(at, QLatin1Char(':'));
            PSettings::SetValue(FingerprintSetting, hex);
        }
        if (kept.isEmpty())
            PSettings::RemoveValue(ServerKeySetting);
        else
            PSettings::SetValue(ServerKeySetting, otherKey);
        if (!errorNames.isEmpty())
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QRegularExpression::escape(errorNames)));

        const QString key = WUtilities::getServerPublicKey(QStringLiteral("alice"));
        PSettings::RemoveValue(KeyFileSetting);
        PSettings::RemoveValue(FingerprintSetting);
        pinServerKey();

        QCOMPARE(WCryptography::PublicKeyDer(key), expectServerKey ? WCryptography::PublicKeyDer(m_server.publicKey())
                                                                   : QByteArray());
    }

    void login_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("expected");
        QTest::newRow("right password") << "alice" << "alice-pw" << true;
        QTest::newRow("name with capitals") << "Alice" << "alice-pw" << true;
        QTest::newRow("wrong password") << "alice" << "bob-pw" << false;
        QTest::newRow("unknown user") << "nobody" << "nobody-pw" << false;
        QTest::newRow("empty password") << "alice" << "" << false;
    }

    void login()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, expected);
        const Link link = connectedLink();
        QVERIFY(link);
        QCOMPARE(WServerCommands::Login(user, password, link), expected);
        // Only a login makes the link the user's main link.
        QCOMPARE(WServerCommands::ConnectToUser(QStringLiteral("alice"), QStringLiteral("bob")), expected);
    }

    void commandsWithoutLinkFollowTheLogin()
    {
        Link link = loggedIn(QStringLiteral("alice"));
        QVERIFY(link);
        QVERIFY(WServerCommands::ConnectToUser(QStringLiteral("alice"), QStringLiteral("carol")));
        QVERIFY(WServerCommands::DisconnectFromUser(QStringLiteral("alice"), QStringLiteral("carol")));
        QVERIFY(WServerCommands::sendExchangeCommand(QStringLiteral("carol"), numbered(0),
                                                     accountOf(QStringLiteral("Alice"))));
        // Another user's relation is not this link's to change.
        QVERIFY(!WServerCommands::ConnectToUser(QStringLiteral("bob"), QStringLiteral("carol")));
        QVERIFY(!WServerCommands::sendExchangeCommand(QStringLiteral("carol"), numbered(0),
                                                      accountOf(QStringLiteral("bob"))));

        // The registration ends with the link.
        link->disconnectFromHost();
        QVERIFY(!WServerCommands::ConnectToUser(QStringLiteral("alice"), QStringLiteral("carol")));
        QVERIFY(!WServerCommands::sendExchangeCommand(QStringLiteral("carol"), numbered(0),
                                                      accountOf(QStringLiteral("alice"))));
        // The same link object logged in again (as a reconnect does) serves again.
        QVERIFY(link->connectToHost(m_server.host(), QString::number(m_server.tcpPort()), m_server.publicKey()));
        QVERIFY(WServerCommands::Login(QStringLiteral("alice"), QStringLiteral("alice-pw"), link));
        QVERIFY(WServerCommands::ConnectToUser(QStringLiteral("alice"), QStringLiteral("bob")));
        const Link carol = loggedIn(QStringLiteral("carol"));
        QVERIFY(carol);
        QVERIFY(WServerCommands::getExchangeCommand(carol).CheckKeyExist(QStringLiteral("n")));
        QVERIFY(WServerCommands::getExchangeCommand(carol).isEmpty());
    }

    void pingAndStatus()
    {
        const Link alice = loggedIn(QStringLiteral("alice"));
        QVERIFY(alice);
        QVERIFY(WServerCommands::Ping(alice));
        QVERIFY(WServerCommands::UpdateUserStatus(3, alice));
        QCOMPARE(statusText(MainServerCommands::getUserStatus(QStringLiteral("alice"))),
                 QStringLiteral("user::alice=3"));
    }

    void accountRoundTrip()
    {
        const Link link = loggedIn(QStringLiteral("carol"));
        QVERIFY(link);
        const QString original = WServerCommands::getAccount(link);
        QVERIFY(!original.isEmpty());

        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-2);
        const QString text = QStringLiteral("c2VhbGVk") + QString(20000, QLatin1Char('A'));
        QVERIFY(WServerCommands::saveAccount(text, link));
        const QDateTime saved = WServerCommands::getLastAccountSaveTime(link);
        QCOMPARE(WServerCommands::getAccount(link), text);
        QVERIFY(saved.isValid());
        QVERIFY(saved >= before);
        QVERIFY(saved <= QDateTime::currentDateTimeUtc().addSecs(2));
        QVERIFY(WServerCommands::saveAccount(original, link));

        // Without a login there is nothing to read or save.
        const Link anonymous = connectedLink();
        QVERIFY(WServerCommands::getAccount(anonymous).isEmpty());
        QVERIFY(!WServerCommands::saveAccount(text, anonymous));
        QVERIFY(!WServerCommands::getLastAccountSaveTime(anonymous).isValid());
    }

    void passwordChange()
    {
        Link link = loggedIn(QStringLiteral("carol"));
        QVERIFY(link);
        QVERIFY(WServerCommands::setPassword("carol-new", link));
        link.reset();
        link = connectedLink();
        QVERIFY(!WServerCommands::Login(QStringLiteral("carol"), QStringLiteral("carol-pw"), link));
        QVERIFY(WServerCommands::Login(QStringLiteral("carol"), QStringLiteral("carol-new"), link));
        QVERIFY(WServerCommands::setPassword("carol-pw", link));
    }

    void statusChangeReachesContact()
    {
        const Link bob = loggedIn(QStringLiteral("bob"));
        QVERIFY(bob);
        PushCollector pushes(bob);
        const Link alice = loggedIn(QStringLiteral("alice"));
        QVERIFY(alice);
        QVERIFY(WServerCommands::UpdateUserStatus(2, alice));
        const KvrConfig push = pushes.waitFor(QStringLiteral("Local::userStatusChanged"), [](const KvrConfig &r) {
            return r.gv(QStringLiteral("status")) == QLatin1String("2");
        });
        QCOMPARE(push.gv(QStringLiteral("username")), QStringLiteral("alice"));
        QCOMPARE(WServerCommands::GetConnectedUsers(alice), QStringList{QStringLiteral("bob")});
    }

    void userStatus_data()
    {
        QTest::addColumn<QString>("names");
        QTest::addColumn<QString>("expected");
        QTest::newRow("list") << "alice,dave," << "user::alice=2;user::dave=0";
        QTest::newRow("one bare name") << "alice" << "user::alice=2";
        QTest::newRow("unknown names are absent") << "nobody,alice," << "user::alice=2";
        QTest::newRow("empty list") << "" << "";
    }

    void userStatus()
    {
        QFETCH(QString, names);
        QFETCH(QString, expected);
        const Link alice = loggedIn(QStringLiteral("alice"));
        QVERIFY(alice);
        QVERIFY(WServerCommands::UpdateUserStatus(2, alice));
        QCOMPARE(statusText(MainServerCommands::getUserStatus(names)), expected);
    }

    void handshake_data()
    {
        QTest::addColumn<bool>("askChallenge");
        QTest::addColumn<int>("signer"); // index into the private keys, -1 for a fresh key
        QTest::addColumn<QString>("claimedUser");
        QTest::addColumn<QString>("verifier"); // whom the answer is meant for; empty: the server
        QTest::addColumn<bool>("expected");
        QTest::newRow("own key") << true << 0 << "alice" << QString() << true;
        QTest::newRow("another user's key") << true << 1 << "alice" << QString() << false;
        QTest::newRow("a key the server never saw") << true << -1 << "alice" << QString() << false;
        QTest::newRow("own key, other name") << true << 0 << "bob" << QString() << false;
        QTest::newRow("no challenge first") << false << 0 << "alice" << QString() << false;
        // An answer a peer obtained for the server's challenge is no good there.
        QTest::newRow("answer meant for a peer") << true << 0 << "alice" << "bob" << false;
    }

    void handshake()
    {
        QFETCH(bool, askChallenge);
        QFETCH(int, signer);
        QFETCH(QString, claimedUser);
        QFETCH(QString, verifier);
        QFETCH(bool, expected);
        const Link link = connectedLink();
        QVERIFY(link);
        QByteArray challenge = QByteArrayLiteral("a challenge nobody handed out");
        if (askChallenge) {
            challenge = WServerCommands::GetAuthenticationString(link);
            QVERIFY(challenge.size() >= 16);
        }
        const QString key = signer >= 0 ? m_privateKeys[signer] : WCryptography::GenerateKeyPair().privateKey;
        const QByteArray signature =
            WCryptography::SignMessageRSASHA(key, WServerCommands::AuthenticationMessage(challenge, verifier));
        QVERIFY(!signature.isEmpty());
        QCOMPARE(WServerCommands::VerifyUser(claimedUser, signature, link), expected);
    }

    void tunnel()
    {
        const Link bob = loggedIn(QStringLiteral("bob"));
        QVERIFY(bob);
        PushCollector bobPushes(bob);

        // A tunnel is only for a link that proved who it is.
        const Link stranger = connectedLink();
        QVERIFY(!WServerCommands::InitTunnelConnection(QStringLiteral("alice"), QStringLiteral("bob"), stranger));

        const Link aliceLeg = authenticated(QStringLiteral("alice"), m_privateKeys[0]);
        QVERIFY(aliceLeg);
        PushCollector aliceArrivals(aliceLeg);
        QVERIFY(WServerCommands::InitTunnelConnection(QStringLiteral("alice"), QStringLiteral("bob"), aliceLeg));
        const KvrConfig push = bobPushes.waitFor(QStringLiteral("Local::InitTunnelConnection"));
        QCOMPARE(push.gv(QStringLiteral("sender")), QStringLiteral("alice"));
        const QString tunnelId = push.gv(QStringLiteral("tunelid"));
        QVERIFY(!tunnelId.isEmpty());

        // Records sent before the peer joins wait for it.
        const KvrConfig first = numbered(1);
        QVERIFY(aliceLeg->pushCommand(first));
        const Link bobLeg = connectedLink();
        QVERIFY(bobLeg);
        PushCollector bobArrivals(bobLeg);
        QVERIFY(WServerCommands::AcceptTunnelConnection(tunnelId, bobLeg));
        const KvrConfig second = numbered(2);
        QVERIFY(aliceLeg->pushCommand(second));
        QCOMPARE(bobArrivals.waitFor(QStringLiteral("wftp:::relayed")).gv(QStringLiteral("n")), QStringLiteral("1"));
        QCOMPARE(bobArrivals.waitFor(QStringLiteral("wftp:::relayed")).gv(QStringLiteral("n")), QStringLiteral("2"));
        QVERIFY(bobLeg->pushCommand(numbered(3)));
        QCOMPARE(aliceArrivals.waitFor(QStringLiteral("wftp:::relayed")).gv(QStringLiteral("n")), QStringLiteral("3"));

        // The id opened one tunnel; it opens no other.
        const Link intruder = connectedLink();
        QVERIFY(!WServerCommands::AcceptTunnelConnection(tunnelId, intruder));
    }

    void relay()
    {
        const Link alice = loggedIn(QStringLiteral("alice"));
        QVERIFY(alice);
        const QSharedPointer<WivoraAccount> account = accountOf(QStringLiteral("alice"));
        for (int n = 1; n <= 3; ++n) {
            KvrConfig record = numbered(n);
            record.sv(QStringLiteral("Wivora::sender"), QStringLiteral("mallory"));
            QVERIFY(WServerCommands::sendExchangeCommand(QStringLiteral("bob"), record, account));
        }
        QVERIFY(!WServerCommands::sendExchangeCommand(QString(), numbered(4), account));
        QVERIFY(!WServerCommands::sendExchangeCommand(QStringLiteral("bob"), numbered(4), {}));

        const Link bob = loggedIn(QStringLiteral("bob"));
        QVERIFY(bob);
        for (int n = 1; n <= 3; ++n) {
            QString sender;
            const KvrConfig record = WServerCommands::getExchangeCommand(bob, &sender);
            QCOMPARE(record.gv(QStringLiteral("n")), QString::number(n));
            QCOMPARE(record.gv(QStringLiteral("command")), QStringLiteral("wftp:::relayed"));
            QVERIFY(!record.CheckKeyExist(QStringLiteral("Wivora::sender")));
            QCOMPARE(sender, QStringLiteral("alice"));
        }
        QString sender = QStringLiteral("left over");
        QCOMPARE(WServerCommands::getExchangeCommand(bob, &sender).size(), 0);
        QCOMPARE(sender, QString());
    }

    void hostInformation()
    {
        const Link alice = loggedIn(QStringLiteral("alice"));
        QVERIFY(alice);
        QCOMPARE(WServerCommands::getUserHostInfo(QStringLiteral("dave")).size(), 0);    // offline
        QCOMPARE(WServerCommands::getUserHostInfo(QStringLiteral("nobody")).size(), 0);  // unknown

        const Link bob = loggedIn(QStringLiteral("bob"));
        QVERIFY(bob);
        QCOMPARE(WServerCommands::SendHostInformation(QStringLiteral("192.0.2.7,127.0.0.1,"), 15500, bob),
                 QStringLiteral("127.0.0.1"));
        const KvrConfig info = WServerCommands::getUserHostInfo(QStringLiteral("Bob"));
        QCOMPARE(info.size(), 2);
        QCOMPARE(info.gv(QStringLiteral("addresses")), QStringLiteral("192.0.2.7,127.0.0.1,"));
        QCOMPARE(info.gv(QStringLiteral("tcpPort")), QStringLiteral("15500"));
        QVERIFY(WUtilities::getUserPublicKey(QStringLiteral("bob")).startsWith(QLatin1String("-----BEGIN")));
        QVERIFY(WUtilities::getUserPublicKey(QStringLiteral("nobody")).isEmpty());

        // Known host information stays with the server, but an offline user
        // cannot be reached through it.
        bob->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(WServerCommands::getUserHostInfo(QStringLiteral("bob")).size(), 0, ServerWaitMs);
    }

    void vcards_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("fullName"); // empty: no vCard expected
        QTest::newRow("published") << "alice" << "Alice Liddell";
        QTest::newRow("name with capitals") << "ALICE" << "Alice Liddell";
        QTest::newRow("never published") << "carol" << "";
        QTest::newRow("unknown user") << "nobody" << "";
    }

    void vcards()
    {
        QFETCH(QString, user);
        QFETCH(QString, fullName);
        {
            const Link alice = loggedIn(QStringLiteral("alice"));
            QVERIFY(alice);
            WDataStructure vcard;
            vcard.sv(QStringLiteral("section"), QStringLiteral("vcard"));
            vcard.sv(QStringLiteral("fullName"), QStringLiteral("Alice Liddell"));
            vcard.sv(QStringLiteral("city"), QStringLiteral("Łódź"));
            vcard.sv(QStringLiteral("country"), QStringLiteral("PL"));
            vcard.SetValue(QStringLiteral("avatar"), QByteArray("\x89PNG\0\xff", 6));
            QVERIFY(WServerCommands::updateVCard(vcard.SerializeStructure(), alice));
        }
        // Asked without a main link: over a private connection.
        const QSharedPointer<WDataStructure> vcard = MainServerCommands::getUserVCard(user);
        QCOMPARE(vcard.isNull(), fullName.isEmpty());
        if (vcard) {
            QCOMPARE(vcard->gv(QStringLiteral("fullName")), fullName);
            QCOMPARE(vcard->gv(QStringLiteral("city")), QStringLiteral("Łódź"));
            QCOMPARE(vcard->GetValue(QStringLiteral("avatar")), QByteArray("\x89PNG\0\xff", 6));
        }
    }

    void findUser_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected"); // "username|fullName|city|country"
        QTest::newRow("part of the full name") << "lidd" << QStringList{"alice|Alice Liddell|Łódź|PL"};
        QTest::newRow("user name") << "CAROL" << QStringList{"carol|||"};
        QTest::newRow("no match") << "zzzz" << QStringList{};
    }

    void findUser()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QStringList found;
        for (const KvrConfig &user : MainServerCommands::findUser(text))
            found << QStringList{user.gv(QStringLiteral("username")), user.gv(QStringLiteral("fullName")),
                                 user.gv(QStringLiteral("city")), user.gv(QStringLiteral("country"))}
                         .join(QLatin1Char('|'));
        QCOMPARE(found, expected);
    }

    void catalogue()
    {
        QSettings catalogue(QDir(m_server.dataDir()).filePath(QStringLiteral("catalogue.ini")), QSettings::IniFormat);
        catalogue.beginWriteArray(QStringLiteral("client"));
        catalogue.setArrayIndex(0);
        catalogue.setValue(QStringLiteral("platform"), QStringLiteral("linux"));
        catalogue.setValue(QStringLiteral("build"), 1022);
        catalogue.setValue(QStringLiteral("file"), QStringLiteral("wivora-1022.tar.gz"));
        catalogue.endArray();
        catalogue.beginWriteArray(QStringLiteral("plugins"));
        catalogue.setArrayIndex(0);
        catalogue.setValue(QStringLiteral("name"), QStringLiteral("WFtp"));
        catalogue.setValue(QStringLiteral("platform"), QStringLiteral("linux"));
        catalogue.setValue(QStringLiteral("version"), 3);
        catalogue.setValue(QStringLiteral("description"), QStringLiteral("File sharing"));
        catalogue.setValue(QStringLiteral("file"), QStringLiteral("libwftp.so"));
        catalogue.endArray();
        catalogue.sync();

        const QSharedPointer<WDataStructure> plugins = MainServerCommands::getWivoraPlugins(QStringLiteral("linux"));
        QVERIFY(plugins);
        QCOMPARE(plugins->childCount(), 1);
        const QSharedPointer<WDataStructure> wftp = plugins->GetStructureByPos(0);
        QCOMPARE(wftp->gv(QStringLiteral("Name")), QStringLiteral("WFtp"));
        QCOMPARE(wftp->gv(QStringLiteral("Description")), QStringLiteral("File sharing"));
        QVERIFY(wftp->gv(QStringLiteral("Path")).endsWith(QLatin1String("/libwftp.so")));
        QCOMPARE(MainServerCommands::getWivoraPlugins(QStringLiteral("other"))->childCount(), 0);

        QVERIFY(MainServerCommands::checkWivoraUpdate(QStringLiteral("linux"), 1021)
                    .endsWith(QLatin1String("/wivora-1022.tar.gz")));
        QCOMPARE(MainServerCommands::checkWivoraUpdate(QStringLiteral("linux"), 1022), QString());
        QVERIFY(MainServerCommands::checkPluginUpdate(QStringLiteral("WFtp"), QStringLiteral("linux"), 2)
                    .endsWith(QLatin1String("/libwftp.so")));
        QCOMPARE(MainServerCommands::checkPluginUpdate(QStringLiteral("WFtp"), QStringLiteral("linux"), 3), QString());
    }

    void timeDifference()
    {
        QVERIFY(qAbs(MainServerCommands::getTimeDiffrence()) <= 1);
    }

    void stopServer()
    {
        m_staleLink = loggedIn(QStringLiteral("alice"));
        QVERIFY(m_staleLink);
        QVERIFY(m_server.stop());
        QTRY_VERIFY_WITH_TIMEOUT(!m_staleLink->isConnected(), ServerWaitMs);
    }

    // Every call against a server that is gone gives its empty result (the
    // test's own time limit catches a call that hangs).
    void stoppedServer_data()
    {
        QTest::addColumn<std::function<bool()>>("givesNothing");
        const QString a = QStringLiteral("alice"), b = QStringLiteral("bob");
        auto row = [](const char *name, std::function<bool()> call) { QTest::newRow(name) << call; };
        row("Login", [this, a] { return !WServerCommands::Login(a, a + "-pw", m_staleLink); });
        row("Login without link", [a] { return !WServerCommands::Login(a, a + "-pw", Link()); });
        row("Ping", [this] { return !WServerCommands::Ping(m_staleLink); });
        row("UpdateUserStatus", [this] { return !WServerCommands::UpdateUserStatus(1, m_staleLink); });
        row("SendHostInformation", [this] { return WServerCommands::SendHostInformation("127.0.0.1,", 1500, m_staleLink).isEmpty(); });
        row("getAccount", [this] { return WServerCommands::getAccount(m_staleLink).isEmpty(); });
        row("saveAccount", [this] { return !WServerCommands::saveAccount("x", m_staleLink); });
        row("getLastAccountSaveTime", [this] { return !WServerCommands::getLastAccountSaveTime(m_staleLink).isValid(); });
        row("setPassword", [this] { return !WServerCommands::setPassword("x", m_staleLink); });
        row("updateVCard", [this] { return !WServerCommands::updateVCard("x", m_staleLink); });
        row("ConnectToUser", [a, b] { return !WServerCommands::ConnectToUser(a, b); });
        row("DisconnectFromUser", [a, b] { return !WServerCommands::DisconnectFromUser(a, b); });
        row("GetConnectedUsers", [this] { return WServerCommands::GetConnectedUsers(m_staleLink).isEmpty(); });
        row("getUserHostInfo", [b] { return WServerCommands::getUserHostInfo(b).size() == 0; });
        row("GetAuthenticationString", [this] { return WServerCommands::GetAuthenticationString(m_staleLink).isEmpty(); });
        row("VerifyUser", [this, a] { return !WServerCommands::VerifyUser(a, "sig", m_staleLink); });
        row("InitTunnelConnection", [this, a, b] { return !WServerCommands::InitTunnelConnection(a, b, m_staleLink); });
        row("AcceptTunnelConnection", [this] { return !WServerCommands::AcceptTunnelConnection("{id}", m_staleLink); });
        row("getExchangeCommand", [this] { return WServerCommands::getExchangeCommand(m_staleLink).size() == 0; });
        row("sendExchangeCommand", [a, b] { return !WServerCommands::sendExchangeCommand(b, numbered(1), accountOf(a)); });
        row("getUserStatus", [a] { return MainServerCommands::getUserStatus(a + ",").size() == 0; });
        row("getUserVCard", [a] { return MainServerCommands::getUserVCard(a).isNull(); });
        row("findUser", [] { return MainServerCommands::findUser("alice").isEmpty(); });
        row("getWivoraPlugins", [] { return MainServerCommands::getWivoraPlugins("linux")->childCount() == 0; });
        row("checkWivoraUpdate", [] { return MainServerCommands::checkWivoraUpdate("linux", 1).isEmpty(); });
        row("checkPluginUpdate", [] { return MainServerCommands::checkPluginUpdate("WFtp", "linux", 1).isEmpty(); });
        row("getTimeDiffrence", [] { return MainServerCommands::getTimeDiffrence() == 0; });
        row("getUserPublicKey", [b] { return WUtilities::getUserPublicKey(b).isEmpty(); });
        row("getServerPublicKey, nothing pinned", [this, a] {
            PSettings::RemoveValue(ServerKeySetting);
            const bool empty = WUtilities::getServerPublicKey(a).isEmpty();
            pinServerKey();
            return empty;
        });
    }

    void stoppedServer()
    {
        QFETCH(std::function<bool()>, givesNothing);
        QVERIFY(!m_server.isRunning());
        QVERIFY(givesNothing());
    }
};

WIVORA_TEST_MAIN(tst_ServerCommands)
#include "tst_ServerCommands.moc"
