// The answering side of a link: a peer that connects to bob's listening port
// (this test, holding the users' real keys) must prove its name before any
// of its records is routed, and even then only plug-in records and buffered
// parts get through, stamped with the link's own routing keys.

#include "QtTestSuite.h"
#include "LinkTestClient.h"
#include "UserConnection.h"

#include <WCryptography.h>
#include <WServerCommands.h>

#include <QtTest>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
const QString Mallory = QStringLiteral("mallory");

// A client of this test's own making, speaking the link protocol by hand.
class Peer
{
public:
    bool connect(const LinkTestClient &to)
    {
        return link->connectToHost(QStringLiteral("127.0.0.1"), QString::number(to.port),
                                   to.session.account()->getPublicKey());
    }

    QByteArray challenge() { return WServerCommands::GetAuthenticationString(link); }

    KvrConfig authenticate(const QString &user, const QByteArray &signature,
                           const QByteArray &peerChallenge = QByteArray())
    {
        KvrConfig request;
        request.SetID();
        request.sv(QStringLiteral("command"), QStringLiteral("User::AuthenticateUser"));
        request.sv(QStringLiteral("username"), user);
        request.SetValue(QStringLiteral("authstring"), signature);
        if (!peerChallenge.isEmpty())
            request.SetValue(QStringLiteral("challenge"), peerChallenge);
        return link->sendCommand(request, 10000);
    }

    QString push(const QString &command)
    {
        KvrConfig record;
        const QString id = record.SetID();
        record.sv(QStringLiteral("command"), command);
        record.sv(QStringLiteral("Wivora::sender"), Bob);
        record.sv(QStringLiteral("Wivora::connectionID"), QStringLiteral("{forged}"));
        link->pushCommand(record);
        return id;
    }

    // Bob's filter handles a link's records in order: once the pong is here,
    // everything pushed before it has been routed or dropped.
    bool ping()
    {
        KvrConfig ping;
        ping.SetID();
        ping.sv(QStringLiteral("command"), QStringLiteral("ping"));
        const KvrConfig pong = link->sendCommand(ping, 10000);
        return pong.gv(QStringLiteral("command")) == QLatin1String("pong") && pong.checkResult();
    }

    const QSharedPointer<TcpConnection> link{new TcpConnection};
};

} // namespace

class tst_UserConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void handshake_data();
    void handshake();
    void filterOfAnAuthenticatedLink_data();
    void filterOfAnAuthenticatedLink();
    void unauthenticatedLinkIsClosedAfterTheDeadline();

private:
    QString privateKeyOf(const QString &user)
    {
        WivoraAccount account;
        const QString text = WServerCommands::getAccount(m_fixture.loggedInLink(user));
        return account.openAccount(text, ClientSessionFixture::passwordOf(user), true) ? account.getPrivateKey()
                                                                                        : QString();
    }

    ClientSessionFixture m_fixture;
    QHash<QString, QString> m_privateKeys;
    std::unique_ptr<LinkTestClient> m_bob;
};

void tst_UserConnection::initTestCase()
{
    QVERIFY2(m_fixture.start({Alice, Bob, Mallory}), qPrintable(m_fixture.server.errorText()));
    for (const QString &user : {Alice, Mallory}) {
        m_privateKeys.insert(user, privateKeyOf(user));
        QVERIFY(!m_privateKeys.value(user).isEmpty());
    }
}

void tst_UserConnection::init()
{
    m_bob.reset(new LinkTestClient);
    QVERIFY(m_bob->start(m_fixture, Bob));
}

void tst_UserConnection::cleanup()
{
    m_bob.reset();
}

void tst_UserConnection::handshake_data()
{
    QTest::addColumn<bool>("askChallenge");
    QTest::addColumn<QString>("signer");       // whose key signs; the peer claims to be alice
    QTest::addColumn<QString>("signs");          // "challenge", "other bytes", or the verifier it names
    QTest::addColumn<bool>("failedAttemptFirst");
    QTest::addColumn<bool>("accepted");

    const QString challenge = QStringLiteral("challenge");
    const QString other = QStringLiteral("other bytes");
    QTest::newRow("no handshake at all") << false << QString() << other << false << false;
    QTest::newRow("signature without a challenge") << false << Alice << other << false << false;
    QTest::newRow("signature over another challenge") << true << Alice << other << false << false;
    QTest::newRow("signature by another user's key") << true << Mallory << challenge << false << false;
    QTest::newRow("challenge reused after a failed attempt") << true << Alice << challenge << true << false;
    // A peer must not be able to pass on a challenge it got elsewhere and
    // use the answer: answers are bound to the verifier.
    QTest::newRow("answer meant for the server") << true << Alice << QString() << false << false;
    QTest::newRow("answer meant for another user") << true << Alice << Mallory << false << false;
    QTest::newRow("alice's answer to bob's challenge") << true << Alice << challenge << false << true;
}

void tst_UserConnection::handshake()
{
    QFETCH(bool, askChallenge);
    QFETCH(QString, signer);
    QFETCH(QString, signs);
    QFETCH(bool, failedAttemptFirst);
    QFETCH(bool, accepted);

    Peer peer;
    QVERIFY(peer.connect(*m_bob));
    const QByteArray challenge = askChallenge ? peer.challenge() : QByteArray();
    QCOMPARE(challenge.isEmpty(), !askChallenge);
    if (!signer.isEmpty()) {
        const QByteArray signedBytes = signs == QLatin1String("other bytes") ? WCryptography::GenerateRandom()
            : signs == QLatin1String("challenge") ? WServerCommands::AuthenticationMessage(challenge, Bob)
                                                  : WServerCommands::AuthenticationMessage(challenge, signs);
        const QByteArray signature = WCryptography::SignMessageRSASHA(m_privateKeys.value(signer), signedBytes);
        if (failedAttemptFirst)
            QVERIFY(!peer.authenticate(Alice, WCryptography::GenerateRandom(256)).checkResult());
        const QByteArray proofChallenge = WCryptography::GenerateRandom();
        const KvrConfig reply = peer.authenticate(Alice, signature, proofChallenge);
        QCOMPARE(reply.checkResult(), accepted);
        // Bob proves his own name back, for alice only.
        const QString bobsKey = m_bob->session.account()->getPublicKey();
        const QByteArray proof = reply.GetValue(QStringLiteral("proof"));
        QCOMPARE(WCryptography::VerifyMessageRSASHA(
                     bobsKey, proof, UserConnection::peerProofMessage(proofChallenge, Bob, Alice)),
                 accepted);
        QVERIFY(!WCryptography::VerifyMessageRSASHA(bobsKey, proof, proofChallenge));
        QVERIFY(!WCryptography::VerifyMessageRSASHA(
            bobsKey, proof, UserConnection::peerProofMessage(proofChallenge, Bob, Mallory)));
    }

    const QString id = peer.push(QStringLiteral("wftp:::listDirectory"));
    QVERIFY(peer.ping());
    const KvrConfig routed = m_bob->commands.takeInputCommand(id);
    QCOMPARE(!routed.isEmpty(), accepted);
    if (accepted) {
        QCOMPARE(routed.gv(QStringLiteral("Wivora::sender")), Alice);
        QCOMPARE(routed.gv(QStringLiteral("Wivora::connection")), QStringLiteral("0"));
        QVERIFY(m_bob->connections->isConnectionActive(routed.gv(QStringLiteral("Wivora::connectionID"))));
    }
    QCOMPARE(m_bob->connections->hasUserConnection(Alice, false), accepted);
}

void tst_UserConnection::filterOfAnAuthenticatedLink_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("destination");

    QTest::newRow("plug-in record") << "echo:::x" << "input";
    QTest::newRow("buffered part") << "User::bufferedCommand" << "buffered";
    QTest::newRow("web request from a peer") << "WebLocal::wftp:::getFile" << "none";
    QTest::newRow("local command from a peer") << "Local::Logout" << "none";
    QTest::newRow("local command dressed as plug-in record") << "Local::Logout:::x" << "none";
    QTest::newRow("name without a plug-in prefix") << "chat" << "none";
}

void tst_UserConnection::filterOfAnAuthenticatedLink()
{
    QFETCH(QString, command);
    QFETCH(QString, destination);

    Peer peer;
    QVERIFY(peer.connect(*m_bob));
    const QByteArray challenge = peer.challenge();
    QVERIFY(peer.authenticate(Alice, WCryptography::SignMessageRSASHA(m_privateKeys.value(Alice),
                                                                    WServerCommands::AuthenticationMessage(challenge, Bob)))
                .checkResult());

    const QString id = peer.push(command);
    QVERIFY(peer.ping());
    const KvrConfig input = m_bob->commands.takeInputCommand(id);
    const QList<KvrConfig> parts = m_bob->takeBufferedParts();
    QCOMPARE(!input.isEmpty(), destination == QLatin1String("input"));
    QCOMPARE(parts.size(), destination == QLatin1String("buffered") ? 1 : 0);
    const KvrConfig routed = input.isEmpty() && !parts.isEmpty() ? parts.first() : input;
    if (!routed.isEmpty()) {
        QCOMPARE(routed.GetID(), id);
        QCOMPARE(routed.gv(QStringLiteral("Wivora::sender")), Alice);
        QCOMPARE(routed.gv(QStringLiteral("Wivora::connection")), QStringLiteral("0"));
        QVERIFY(routed.gv(QStringLiteral("Wivora::connectionID")) != QLatin1String("{forged}"));
    }
}

void tst_UserConnection::unauthenticatedLinkIsClosedAfterTheDeadline()
{
    m_bob->connections->setAuthenticationDeadline(1);
    Peer stranger;
    Peer alice;
    QVERIFY(stranger.connect(*m_bob));
    QVERIFY(alice.connect(*m_bob));
    const QByteArray challenge = alice.challenge();
    QVERIFY(alice.authenticate(Alice, WCryptography::SignMessageRSASHA(m_privateKeys.value(Alice),
                                                                    WServerCommands::AuthenticationMessage(challenge, Bob)))
                .checkResult());

    QTRY_VERIFY_WITH_TIMEOUT(!stranger.link->isConnected(), 20000);
    QVERIFY(alice.link->isConnected());
    QVERIFY(alice.ping());
}

WIVORA_TEST_GUILESS_MAIN(tst_UserConnection)
#include "tst_UserConnection.moc"
