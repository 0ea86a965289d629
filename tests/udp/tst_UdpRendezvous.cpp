#include "QtTestSuite.h"
#include "UdpRendezvous.h"
#include "UdpRendezvousDatagram.h"

#include "KvrConfig.h"

#include <QUdpSocket>
#include <QtTest>

#include <boost/asio/executor_work_guard.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using Role = UdpRendezvousDatagram::Role;
using Type = UdpRendezvousDatagram::Type;

// Joins sent from plain UDP sockets, as both ends of a link would send them.
class tst_UdpRendezvous : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void pairing_data();
    void pairing();
    void resentJoinsAreAnsweredAgainAndAskedOnce();
    void sessionTakenByOthersIsRefused();
    void malformedDatagramsAreIgnored_data();
    void malformedDatagramsAreIgnored();
    void joinsAreLimitedPerSource();

private:
    struct Call
    {
        int session;
        QString own;
        QString peer;
        quint16 fromPort;
    };

    void send(QUdpSocket &socket, const QByteArray &bytes);
    void join(QUdpSocket &socket, quint32 session, Role role, const QString &own, const QString &peer);
    // The next answer, or false when none came within `ms`.
    bool answer(QUdpSocket &socket, UdpRendezvousDatagram *out, int ms = 5000);
    QList<Call> calls();

    boost::asio::io_context io;
    std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
    std::thread ioThread;
    std::unique_ptr<UdpRendezvous> rendezvous;

    std::atomic<bool> serverAccepts{true};
    std::mutex callsMutex;
    QList<Call> recordedCalls;
};

void tst_UdpRendezvous::initTestCase()
{
    work = std::make_unique<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(
        io.get_executor());
    ioThread = std::thread([this] { io.run(); });
}

void tst_UdpRendezvous::cleanupTestCase()
{
    work.reset();
    io.stop();
    ioThread.join();
}

void tst_UdpRendezvous::init()
{
    serverAccepts = true;
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        recordedCalls.clear();
    }
    rendezvous = std::make_unique<UdpRendezvous>(
        io, [this](int session, const QString &own, const QString &peer, const UdpRendezvous::Endpoint &from) {
            std::lock_guard<std::mutex> lock(callsMutex);
            recordedCalls.append(Call{session, own, peer, from.port()});
            return serverAccepts.load();
        });
    QVERIFY(rendezvous->listen(QStringLiteral("127.0.0.1"), 0));
    QVERIFY(rendezvous->port() != 0);
}

void tst_UdpRendezvous::cleanup()
{
    rendezvous.reset();
}

void tst_UdpRendezvous::send(QUdpSocket &socket, const QByteArray &bytes)
{
    QCOMPARE(socket.writeDatagram(bytes, QHostAddress::LocalHost, rendezvous->port()), qint64(bytes.size()));
}

void tst_UdpRendezvous::join(QUdpSocket &socket, quint32 session, Role role, const QString &own,
                             const QString &peer)
{
    send(socket, UdpRendezvousDatagram::join(session, role, own, peer).encode());
}

bool tst_UdpRendezvous::answer(QUdpSocket &socket, UdpRendezvousDatagram *out, int ms)
{
    if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(ms))
        return false;
    QByteArray bytes(int(socket.pendingDatagramSize()), Qt::Uninitialized);
    socket.readDatagram(bytes.data(), bytes.size());
    return UdpRendezvousDatagram::decode(bytes.constData(), bytes.size(), out);
}

QList<tst_UdpRendezvous::Call> tst_UdpRendezvous::calls()
{
    std::lock_guard<std::mutex> lock(callsMutex);
    return recordedCalls;
}

void tst_UdpRendezvous::pairing_data()
{
    QTest::addColumn<bool>("serverAccepts");
    QTest::addColumn<QString>("acceptorOwn");
    QTest::addColumn<QString>("acceptorPeer");
    QTest::addColumn<quint32>("acceptorSessionOffset");
    QTest::addColumn<bool>("paired");

    QTest::newRow("both ends join") << true << "bob" << "alice" << 0u << true;
    QTest::newRow("names in another case") << true << "BOB" << "Alice" << 0u << true;
    QTest::newRow("acceptor names another initiator") << true << "bob" << "carol" << 0u << false;
    QTest::newRow("acceptor is another user") << true << "carol" << "alice" << 0u << false;
    QTest::newRow("acceptor of an unknown session") << true << "bob" << "alice" << 1u << false;
    QTest::newRow("server refuses the initiator") << false << "bob" << "alice" << 0u << false;
}

void tst_UdpRendezvous::pairing()
{
    QFETCH(bool, serverAccepts);
    QFETCH(QString, acceptorOwn);
    QFETCH(QString, acceptorPeer);
    QFETCH(quint32, acceptorSessionOffset);
    QFETCH(bool, paired);
    this->serverAccepts = serverAccepts;

    QUdpSocket initiator;
    QUdpSocket acceptor;
    QVERIFY(initiator.bind(QHostAddress(QHostAddress::LocalHost)));
    QVERIFY(acceptor.bind(QHostAddress(QHostAddress::LocalHost)));
    const quint32 session = 4711;

    join(initiator, session, Role::Initiator, QStringLiteral("alice"), QStringLiteral("bob"));
    UdpRendezvousDatagram got;
    if (!serverAccepts) {
        QVERIFY(answer(initiator, &got));
        QCOMPARE(got.type, Type::Refused);
        QCOMPARE(got.session, session);
    }
    QTRY_COMPARE(calls().size(), 1);
    QCOMPARE(calls().first().session, int(session));
    QCOMPARE(calls().first().own, QStringLiteral("alice"));
    QCOMPARE(calls().first().peer, QStringLiteral("bob"));
    QCOMPARE(calls().first().fromPort, initiator.localPort());

    join(acceptor, session + acceptorSessionOffset, Role::Acceptor, acceptorOwn, acceptorPeer);
    QVERIFY(answer(acceptor, &got));
    QCOMPARE(got.role, Role::Acceptor);
    if (!paired) {
        QCOMPARE(got.type, Type::Refused);
        QVERIFY(!answer(initiator, &got, 200));
        return;
    }
    QCOMPARE(got.type, Type::Paired);
    QCOMPARE(got.session, session);
    QCOMPARE(got.ipv4, QHostAddress(QHostAddress::LocalHost).toIPv4Address());
    QCOMPARE(got.port, initiator.localPort());

    QVERIFY(answer(initiator, &got));
    QCOMPARE(got.type, Type::Paired);
    QCOMPARE(got.role, Role::Initiator);
    QCOMPARE(got.port, acceptor.localPort());
}

void tst_UdpRendezvous::resentJoinsAreAnsweredAgainAndAskedOnce()
{
    QUdpSocket initiator;
    QUdpSocket acceptor;
    QVERIFY(initiator.bind(QHostAddress(QHostAddress::LocalHost)));
    QVERIFY(acceptor.bind(QHostAddress(QHostAddress::LocalHost)));
    const quint32 session = 99;

    for (int i = 0; i < 3; ++i)
        join(initiator, session, Role::Initiator, QStringLiteral("alice"), QStringLiteral("bob"));
    join(acceptor, session, Role::Acceptor, QStringLiteral("bob"), QStringLiteral("alice"));
    UdpRendezvousDatagram got;
    QVERIFY(answer(acceptor, &got));
    QCOMPARE(got.type, Type::Paired);
    QVERIFY(answer(initiator, &got));
    QCOMPARE(got.type, Type::Paired);

    // Answers lost on the way: both ends ask again and hear the same.
    join(initiator, session, Role::Initiator, QStringLiteral("alice"), QStringLiteral("bob"));
    QVERIFY(answer(initiator, &got));
    QCOMPARE(got.type, Type::Paired);
    QCOMPARE(got.port, acceptor.localPort());
    join(acceptor, session, Role::Acceptor, QStringLiteral("bob"), QStringLiteral("alice"));
    QVERIFY(answer(acceptor, &got));
    QCOMPARE(got.type, Type::Paired);
    QCOMPARE(got.port, initiator.localPort());

    // The peer was told once, however often the initiator asked.
    QCOMPARE(calls().size(), 1);
}

void tst_UdpRendezvous::sessionTakenByOthersIsRefused()
{
    QUdpSocket initiator;
    QUdpSocket acceptor;
    QUdpSocket intruder;
    QVERIFY(initiator.bind(QHostAddress(QHostAddress::LocalHost)));
    QVERIFY(acceptor.bind(QHostAddress(QHostAddress::LocalHost)));
    QVERIFY(intruder.bind(QHostAddress(QHostAddress::LocalHost)));
    const quint32 session = 1234;
    UdpRendezvousDatagram got;

    join(initiator, session, Role::Initiator, QStringLiteral("alice"), QStringLiteral("bob"));
    // The same session from another endpoint, whatever names it gives.
    join(intruder, session, Role::Initiator, QStringLiteral("alice"), QStringLiteral("bob"));
    QVERIFY(answer(intruder, &got));
    QCOMPARE(got.type, Type::Refused);
    join(intruder, session, Role::Initiator, QStringLiteral("mallory"), QStringLiteral("bob"));
    QVERIFY(answer(intruder, &got));
    QCOMPARE(got.type, Type::Refused);

    // Once paired, a second acceptor endpoint is refused and learns nothing.
    join(acceptor, session, Role::Acceptor, QStringLiteral("bob"), QStringLiteral("alice"));
    QVERIFY(answer(acceptor, &got));
    QCOMPARE(got.type, Type::Paired);
    join(intruder, session, Role::Acceptor, QStringLiteral("bob"), QStringLiteral("alice"));
    QVERIFY(answer(intruder, &got));
    QCOMPARE(got.type, Type::Refused);
    QCOMPARE(calls().size(), 1);
}

void tst_UdpRendezvous::malformedDatagramsAreIgnored_data()
{
    QTest::addColumn<QByteArray>("datagram");

    const QByteArray magic("WVRV");
    auto record = [&](std::initializer_list<std::pair<const char *, QByteArray>> entries) {
        KvrConfig r;
        for (const auto &entry : entries)
            r.SetValue(QString::fromLatin1(entry.first), entry.second);
        return magic + r.SerializeConfigBinary();
    };
    const QByteArray join = UdpRendezvousDatagram::join(7, Role::Initiator, "alice", "bob").encode();

    QTest::newRow("random bytes") << QByteArray("\x13\x37 not a join at all", 21);
    QTest::newRow("magic only") << magic;
    QTest::newRow("magic and a broken record") << magic + QByteArray("\x00\x00\x00\x05\xff", 5);
    QTest::newRow("truncated join") << join.left(join.size() - 1);
    QTest::newRow("join with trailing bytes") << join + "x";
    QTest::newRow("oversized join") << join + QByteArray(UdpRendezvousDatagram::MaxSize, 'x');
    QTest::newRow("answer sent to the server")
        << UdpRendezvousDatagram::paired(7, Role::Initiator, 0x7f000001, 5000).encode();
    QTest::newRow("unknown type") << record({{"type", "hello"}, {"role", "initiator"}, {"session", "7"},
                                             {"own", "alice"}, {"peer", "bob"}});
    QTest::newRow("session not a number") << record({{"type", "join"}, {"role", "initiator"},
                                                     {"session", "seven"}, {"own", "alice"}, {"peer", "bob"}});
    QTest::newRow("session beyond int")
        << UdpRendezvousDatagram::join(0x80000000u, Role::Initiator, "alice", "bob").encode();
    QTest::newRow("empty name") << record({{"type", "join"}, {"role", "initiator"}, {"session", "7"},
                                           {"own", ""}, {"peer", "bob"}});
    QTest::newRow("name too long")
        << record({{"type", "join"}, {"role", "initiator"}, {"session", "7"},
                   {"own", QByteArray(UdpRendezvousDatagram::MaxNameLength + 1, 'a')}, {"peer", "bob"}});
}

void tst_UdpRendezvous::malformedDatagramsAreIgnored()
{
    QFETCH(QByteArray, datagram);
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost)));

    send(client, datagram);
    // Datagrams from one socket are handled in order: the answer to this
    // join comes after the malformed one was dealt with.
    serverAccepts = false;
    join(client, 8, Role::Initiator, QStringLiteral("alice"), QStringLiteral("bob"));
    UdpRendezvousDatagram got;
    QVERIFY(answer(client, &got));
    QCOMPARE(got.type, Type::Refused);
    QCOMPARE(got.session, 8u);
    QVERIFY(!client.hasPendingDatagrams());
    QCOMPARE(calls().size(), 1);
}

void tst_UdpRendezvous::joinsAreLimitedPerSource()
{
    QUdpSocket flooder;
    QUdpSocket other;
    QVERIFY(flooder.bind(QHostAddress(QHostAddress::LocalHost)));
    if (!other.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0))
        QSKIP("no second loopback address to send from");

    // Refused joins are answered at once, which marks the end of the flood below.
    serverAccepts = false;
    const int sent = 100;
    for (int i = 0; i < sent; ++i)
        join(flooder, quint32(1000 + i), Role::Initiator, QStringLiteral("alice"), QStringLiteral("bob"));
    // Another source is still served, and its answer comes after the flood was handled.
    join(other, 1, Role::Initiator, QStringLiteral("carol"), QStringLiteral("dave"));
    UdpRendezvousDatagram got;
    QVERIFY(answer(other, &got));
    QCOMPARE(got.session, 1u);

    const QList<Call> asked = calls();
    QVERIFY(asked.size() >= UdpRendezvous::JoinBurst);
    QVERIFY2(asked.size() < sent / 2, qPrintable(QString::number(asked.size())));
    QCOMPARE(asked.last().own, QStringLiteral("carol"));
}

WIVORA_TEST_GUILESS_MAIN(tst_UdpRendezvous)
#include "tst_UdpRendezvous.moc"
