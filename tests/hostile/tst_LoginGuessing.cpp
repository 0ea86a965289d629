// Password guessing on one account from thousands of addresses, against a
// real wivora-server: the guesses are slowed, the owner still logs in from
// where she usually does, and honest users logging in at once are all let in.
//
// Scaled for CI; by hand: WIVORA_GUESSING_SECONDS=60 WIVORA_HONEST_LOGINS=100.

#include "QtTestSuite.h"
#include "MemoryBounds.h"
#include "RawTlsPeer.h"
#include "ServerProcess.h"
#include "ServerRequests.h"

#include <ServerProtocol.h>
#include <TcpConnection.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSharedPointer>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace P = ServerProtocol;

namespace {

constexpr qint64 MiB = 1024 * 1024;
// The server's free failures on one account before its delays start.
constexpr int AccountFreeFailures = 20;
// How long an honest login waits for its answer.
constexpr int LoginAnswerWaitMs = 60000;

// Sanitizer builds run the rows smaller: there they look for memory faults,
// not at throughput, and every process is several times slower.
int scaled(const char *variable, int ciValue, int sanitizedValue)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(variable, &ok);
#ifdef WIVORA_SANITIZED
    Q_UNUSED(ciValue)
    return ok && value > 0 ? value : sanitizedValue;
#else
    Q_UNUSED(sanitizedValue)
    return ok && value > 0 ? value : ciValue;
#endif
}

QString secretOf(const QString &user)
{
    return user + QStringLiteral("-secret");
}

// One login on a fresh link from `source`: the server's answer, empty when
// none came.
KvrConfig loginFrom(quint16 port, const QHostAddress &source, const QString &user, const QString &password)
{
    RawTlsPeer peer;
    if (!peer.connect(port, source) || !peer.handshake())
        return KvrConfig();
    peer.sendInside(RawTlsPeer::frame(loginRequest(user, password)));
    KvrConfig reply;
    reply.DeserializeConfigBinary(peer.readFrame());
    return reply;
}

// What guessers were told, by kind of answer.
struct GuessAnswers
{
    std::mutex lock;
    std::vector<qint64> checkedAtMs; // wrong passwords the server checked
    int throttled = 0;
    int busy = 0;
    int lost = 0;
    int admitted = 0; // a guess let in: never

    void add(const KvrConfig &reply, qint64 atMs)
    {
        const QString reason = reply.gv(P::KeyReason);
        const std::lock_guard<std::mutex> locked(lock);
        if (reply.isEmpty())
            ++lost;
        else if (reply.checkResult())
            ++admitted;
        else if (reason.startsWith(QLatin1String("too many failed logins")))
            ++throttled;
        else if (reason.startsWith(QLatin1String("the server is busy")))
            ++busy;
        else
            checkedAtMs.push_back(atMs);
    }
};

} // namespace

class tst_LoginGuessing : public QObject
{
    Q_OBJECT

private slots:
    void guessersOnManyAddressesDoNotLockTheOwnerOut();
    void honestUsersLoggingInAtOnceAreAllLetIn();

private:
    std::unique_ptr<ServerProcess> m_server;
};

void tst_LoginGuessing::guessersOnManyAddressesDoNotLockTheOwnerOut()
{
    const int seconds = scaled("WIVORA_GUESSING_SECONDS", 12, 8);
    constexpr int Guessers = 100;
    constexpr int OwnerLogins = 10;
    m_server = std::make_unique<ServerProcess>();
    QVERIFY(m_server->addUser(QStringLiteral("alice"), secretOf(QStringLiteral("alice"))));
    QVERIFY(m_server->start());
    const quint16 port = m_server->tcpPort();

    const auto ownerLogsIn = [&] {
        TcpConnection link;
        if (!link.connectToHost(m_server->host(), QString::number(port), m_server->publicKey()))
            return QStringLiteral("no link");
        const KvrConfig reply =
            link.sendCommand(loginRequest(QStringLiteral("alice"), secretOf(QStringLiteral("alice"))), ServerWaitMs);
        link.disconnectFromHost();
        return reply.checkResult() ? QString() : reply.isEmpty() ? QStringLiteral("no answer") : reply.gv(P::KeyReason);
    };
    // Where she usually logs in.
    QCOMPARE(ownerLogsIn(), QString());

    // Each guess comes on a new link from the guesser's next address:
    // 127.<guesser>.x.y, thousands of them in all.
    GuessAnswers answers;
    std::atomic<bool> stop{false};
    std::atomic<int> addressesUsed{0};
    QElapsedTimer attack;
    attack.start();
    std::vector<std::thread> guessers;
    for (int g = 0; g < Guessers; ++g) {
        guessers.emplace_back([&, g] {
            for (int n = 0; !stop; ++n) {
                const QHostAddress source(QStringLiteral("127.%1.%2.%3").arg(100 + g).arg(n / 250).arg(1 + n % 250));
                const KvrConfig reply = loginFrom(port, source, QStringLiteral("alice"),
                                                  QStringLiteral("guess-%1-%2").arg(g).arg(n));
                answers.add(reply, attack.elapsed());
                ++addressesUsed;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }

    // Meanwhile the owner logs in now and then from her usual address.
    QStringList ownerRefusals;
    int ownerSuccesses = 0;
    for (int i = 1; i <= OwnerLogins; ++i) {
        QTest::qWait(int(qMax<qint64>(0, qint64(seconds) * 1000 * i / (OwnerLogins + 1) - attack.elapsed())));
        const QString refusal = ownerLogsIn();
        if (refusal.isEmpty())
            ++ownerSuccesses;
        else
            ownerRefusals << refusal;
    }
    QTest::qWait(int(qMax<qint64>(0, qint64(seconds) * 1000 - attack.elapsed())));
    const qint64 attackMemory = residentBytes(m_server->processId());
    stop = true;
    for (std::thread &guesser : guessers)
        guesser.join();

    const int checked = int(answers.checkedAtMs.size());
    const QString figures =
        QStringLiteral("%1 s, %2 guesses, each from an address of its own: checked %3 (%4 in the last half), throttled %5, "
                       "busy %6, lost %7; owner logged in %8 of %9 (%10); server memory %11 MiB")
            .arg(seconds).arg(int(addressesUsed)).arg(checked)
            .arg(std::count_if(answers.checkedAtMs.begin(), answers.checkedAtMs.end(),
                               [&](qint64 atMs) { return atMs > seconds * 1000 / 2; }))
            .arg(answers.throttled).arg(answers.busy).arg(answers.lost)
            .arg(ownerSuccesses).arg(OwnerLogins).arg(ownerRefusals.join(QStringLiteral("; ")))
            .arg(attackMemory / MiB);
    qInfo().noquote() << figures;

    QCOMPARE(answers.admitted, 0);
    // The account's free failures, then at most one checked guess a second.
    QVERIFY2(checked <= AccountFreeFailures + seconds, qPrintable(figures));
    QVERIFY2(answers.throttled > 10 * checked, qPrintable(figures));
    QVERIFY2(ownerSuccesses >= OwnerLogins - 1, qPrintable(figures));
    QVERIFY_MEMORY_BOUND(attackMemory < 200 * MiB, qPrintable(figures));
    QVERIFY2(m_server->stop(), qPrintable(m_server->output().right(4000)));
}

void tst_LoginGuessing::honestUsersLoggingInAtOnceAreAllLetIn()
{
    // Each from an address of its own, all at the same moment: logins beyond
    // what the server's cores check at once wait their turn.
    const int users = scaled("WIVORA_HONEST_LOGINS", 72, 24);
    QList<QPair<QString, QString>> accounts;
    for (int i = 0; i < users; ++i) {
        const QString name = QStringLiteral("honest%1").arg(i, 3, 10, QLatin1Char('0'));
        accounts << qMakePair(name, secretOf(name));
    }
    m_server = std::make_unique<ServerProcess>();
    QVERIFY(m_server->addUsers(accounts));
    QVERIFY(m_server->start());
    const quint16 port = m_server->tcpPort();

    std::atomic<bool> go{false};
    std::atomic<int> ready{0};
    std::vector<KvrConfig> replies(users);
    std::vector<qint64> latenciesMs(users);
    std::vector<std::thread> logins;
    for (int i = 0; i < users; ++i) {
        logins.emplace_back([&, i] {
            RawTlsPeer peer;
            const bool linked = peer.connect(port, QHostAddress(QStringLiteral("127.2.%1.%2").arg(i / 250).arg(1 + i % 250)))
                                && peer.handshake();
            ++ready;
            while (!go)
                std::this_thread::yield();
            if (!linked)
                return;
            QElapsedTimer clock;
            clock.start();
            peer.sendInside(
                RawTlsPeer::frame(loginRequest(accounts.at(i).first, accounts.at(i).second)));
            // The wait is generous: what this checks is that nobody is turned
            // away, not how fast a loaded machine answers.
            replies[i].DeserializeConfigBinary(peer.readFrame(LoginAnswerWaitMs));
            latenciesMs[i] = clock.elapsed();
        });
    }
    QVERIFY(QTest::qWaitFor([&] { return ready == users; }, 60000));
    go = true;
    for (std::thread &login : logins)
        login.join();

    QStringList refused;
    for (int i = 0; i < users; ++i) {
        if (!replies.at(i).checkResult())
            refused << accounts.at(i).first + QStringLiteral(": ")
                           + (replies.at(i).isEmpty() ? QStringLiteral("no answer") : replies.at(i).gv(P::KeyReason));
    }
    const QString figures = QStringLiteral("%1 logins at once: %2 refused, slowest answer %3 ms")
                                .arg(users).arg(refused.size())
                                .arg(*std::max_element(latenciesMs.begin(), latenciesMs.end()));
    qInfo().noquote() << figures;
    QVERIFY2(refused.isEmpty(), qPrintable(figures + QStringLiteral("\n") + refused.join(QLatin1Char('\n'))));
    QVERIFY2(m_server->stop(), qPrintable(m_server->output().right(4000)));
}

WIVORA_TEST_GUILESS_MAIN(tst_LoginGuessing)
#include "tst_LoginGuessing.moc"
