// Chat and downloads between two real clients (both plug-ins) of a real
// wivora-server while either client is killed with SIGKILL or frozen with
// SIGSTOP at random and the server restarts once: every message sent is
// filed once at its receiver, every download that completes is identical to
// its source.
//
// WIVORA_SOAK_SECONDS sets how long the faults go on (a long run by hand);
// WIVORA_SOAK_SEED repeats a run.
#include "QtTestSuite.h"
#include "MailClients.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>

namespace {

const QString &kAlice = MailClients::Alice;
const QString &kBob = MailClients::Bob;
const QString kDisc = QStringLiteral("vls/bob/docs/root");

#ifdef WIVORA_SANITIZED
constexpr int kDefaultSoakSeconds = 20;
constexpr int kFileBytes = 512 * 1024;
#else
constexpr int kDefaultSoakSeconds = 45;
constexpr int kFileBytes = 3 * 1024 * 1024;
#endif
constexpr int kFiles = 3;
constexpr int kSettleTimeoutMs = 300000;
constexpr int kInvokeTimeoutMs = 20000;

QByteArray sha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct Figures
{
    int sent = 0;
    int kills = 0;
    int stops = 0;
    int restarts = 0;
    int downloadsStarted = 0;
    int downloadsIdentical = 0;
    int downloadsFailed = 0;
};

} // namespace

class tst_WMailFaultSoak : public QObject
{
    Q_OBJECT

public:
    tst_WMailFaultSoak()
    {
        // A long run by hand outlasts the test framework's usual limit per
        // test function; read before the first one starts.
        if (qEnvironmentVariableIsSet("WIVORA_SOAK_SECONDS") && !qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
            qputenv("QTEST_FUNCTION_TIMEOUT",
                     QByteArray::number((qEnvironmentVariableIntValue("WIVORA_SOAK_SECONDS") + 900) * 1000));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        const quint32 seed = qEnvironmentVariableIsSet("WIVORA_SOAK_SEED")
            ? quint32(qEnvironmentVariableIntValue("WIVORA_SOAK_SEED"))
            : QRandomGenerator::global()->generate();
        qInfo("soak seed %u", seed);
        m_random.seed(seed);

        QVERIFY(QDir().mkpath(m_files.filePath(QStringLiteral("docs"))));
        for (int i = 0; i < kFiles; ++i)
            QVERIFY(writeBytes(m_files.filePath(QStringLiteral("docs/f%1.bin").arg(i)),
                               E2eFixture::randomBytes(kFileBytes + 4099 * i)));

        QVERIFY2(MailClients::startService(m_fixture), qPrintable(m_fixture.server.errorText()));
        for (const QString &user : {kBob, kAlice}) {
            m_clients[user] = MailClients::client(m_fixture, user);
            ClientProcess *client = m_clients[user].get();
            QVERIFY2(client, qPrintable(m_fixture.clientSetupError));
            QVERIFY2(client->start(), qPrintable(client->diagnostics()));
        }
        KvrConfig share;
        share.sv(QStringLiteral("path"), m_files.filePath(QStringLiteral("docs")));
        share.sv(QStringLiteral("users"), kAlice);
        QCOMPARE(m_clients[kBob]->probe().invoke(QStringLiteral("WFtp"), QStringLiteral("shareFolder"), share)
                     .gv(QStringLiteral("disc")),
                 kDisc);
    }

    void cleanupTestCase()
    {
        for (const QString &user : {kAlice, kBob})
            resume(user);
    }

    void everyMessageFiledOnceEveryDownloadIdentical()
    {
        const int seconds = qEnvironmentVariableIsSet("WIVORA_SOAK_SECONDS")
            ? qEnvironmentVariableIntValue("WIVORA_SOAK_SECONDS")
            : kDefaultSoakSeconds;
        const QDeadlineTimer soak(seconds * 1000);
        QDeadlineTimer nextFault(nextFaultDelayMs());
        bool serverRestarted = false;
        while (!soak.hasExpired()) {
            resumeThoseDue();
            if (!serverRestarted && soak.remainingTime() < seconds * 500) {
                serverRestarted = true;
                QVERIFY2(m_fixture.server.restart(), qPrintable(m_fixture.server.errorText()));
                ++m_figures.restarts;
            }
            if (nextFault.hasExpired()) {
                injectFault();
                nextFault.setRemainingTime(nextFaultDelayMs());
            }
            const int roll = int(m_random.bounded(100));
            if (roll < 70)
                sendMessage();
            else
                tendDownload();
            QTest::qWait(int(m_random.bounded(100, 300)));
        }

        // Everyone back: what waited anywhere is delivered now.
        for (const QString &user : {kAlice, kBob}) {
            resume(user);
            if (!m_clients[user]->isRunning())
                QVERIFY2(m_clients[user]->start(), qPrintable(m_clients[user]->diagnostics()));
        }
        const QDeadlineTimer downloadEnds(kSettleTimeoutMs);
        while (m_download.active && !downloadEnds.hasExpired()) {
            tendDownload();
            QTest::qWait(200);
        }
        const auto allFiled = [this] {
            for (auto it = m_sent.cbegin(); it != m_sent.cend(); ++it) {
                const QStringList stored = MailClients::storedIds(*m_clients[it.key()], peerOf(it.key()));
                for (const QString &id : it.value()) {
                    if (!stored.contains(id))
                        return false;
                }
            }
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(allFiled(), kSettleTimeoutMs);
        // A last message each way comes after any repeat of an earlier one.
        for (const QString &user : {kAlice, kBob})
            QVERIFY(sendFrom(user));
        QTRY_VERIFY_WITH_TIMEOUT(allFiled(), kSettleTimeoutMs);

        int filed = 0;
        int duplicates = 0;
        int lost = 0;
        for (auto it = m_sent.cbegin(); it != m_sent.cend(); ++it) {
            const QStringList stored = MailClients::storedIds(*m_clients[it.key()], peerOf(it.key()));
            for (const QString &id : stored)
                duplicates += stored.count(id) > 1;
            for (const QString &id : it.value()) {
                filed += stored.count(id) == 1;
                lost += !stored.contains(id);
            }
        }
        qInfo("soak %d s: %d messages sent, %d filed once, %d duplicates, %d lost; %d kills, %d stops, "
              "%d server restarts; %d downloads started, %d completed identical, %d failed",
              seconds, m_figures.sent, filed, duplicates, lost, m_figures.kills, m_figures.stops,
              m_figures.restarts, m_figures.downloadsStarted, m_figures.downloadsIdentical,
              m_figures.downloadsFailed);
        QCOMPARE(duplicates, 0);
        QCOMPARE(lost, 0);
        QCOMPARE(filed, m_figures.sent);
    }

private:
    static QString peerOf(const QString &user) { return user == kAlice ? kBob : kAlice; }

    bool isAnswering(const QString &user) const
    {
        return m_clients.at(user)->isRunning() && !m_stoppedUntil.contains(user);
    }

    int nextFaultDelayMs() { return int(m_random.bounded(2500, 6000)); }

    // One client killed (and started again) or frozen for a moment.
    void injectFault()
    {
        const QString user = m_random.bounded(2) ? kAlice : kBob;
        ClientProcess &client = *m_clients[user];
        resume(user);
        if (m_random.bounded(2)) {
            client.kill();
            ++m_figures.kills;
            if (user == kAlice)
                m_download.active = false; // a download does not outlive its client
            QVERIFY2(client.start(), qPrintable(client.diagnostics()));
        } else if (client.isRunning()) {
            ::kill(pid_t(client.processId()), SIGSTOP);
            ++m_figures.stops;
            m_stoppedUntil.insert(user, QDeadlineTimer(int(m_random.bounded(500, 3000))));
        }
    }

    void resume(const QString &user)
    {
        if (m_stoppedUntil.remove(user) && m_clients[user]->isRunning())
            ::kill(pid_t(m_clients[user]->processId()), SIGCONT);
    }

    void resumeThoseDue()
    {
        for (const QString &user : m_stoppedUntil.keys()) {
            if (m_stoppedUntil.value(user).hasExpired())
                resume(user);
        }
    }

    void sendMessage()
    {
        const QString user = m_random.bounded(2) ? kAlice : kBob;
        if (isAnswering(user))
            sendFrom(user);
    }

    // A message from user to the other as the chat page sends it; false when
    // the client did not take it.
    bool sendFrom(const QString &user)
    {
        KvrConfig request;
        request.sv(QStringLiteral("user"), peerOf(user));
        request.SetValue(QStringLiteral("data"), QByteArray("message ") + QByteArray::number(m_figures.sent));
        bool invoked = false;
        const QString id = m_clients[user]
                               ->probe()
                               .invoke(QStringLiteral("WMail"), QStringLiteral("sendMessage"), request, &invoked,
                                       kInvokeTimeoutMs)
                               .gv(QStringLiteral("id"));
        if (id.isEmpty())
            return false;
        m_sent[peerOf(user)] << id;
        ++m_figures.sent;
        return true;
    }

    // Starts a download into a fresh folder when none runs, else looks at
    // the running one: a completed one must equal its source.
    void tendDownload()
    {
        if (!isAnswering(kAlice))
            return;
        bool invoked = false;
        if (!m_download.active) {
            const int file = int(m_random.bounded(kFiles));
            m_download.source = m_files.filePath(QStringLiteral("docs/f%1.bin").arg(file));
            const QString target = m_files.filePath(QStringLiteral("received/%1").arg(m_figures.downloadsStarted));
            QVERIFY(QDir().mkpath(target));
            m_download.landing = target + QStringLiteral("/f%1.bin").arg(file);
            KvrConfig request;
            request.sv(QStringLiteral("files"), kDisc + QStringLiteral("/f%1.bin").arg(file));
            request.sv(QStringLiteral("target"), target);
            request.sv(QStringLiteral("base"), kDisc);
            const KvrConfig started = m_clients[kAlice]->probe().invoke(
                QStringLiteral("WFtp"), QStringLiteral("startTransfer"), request, &invoked, kInvokeTimeoutMs);
            if (!started.checkResult())
                return;
            m_download.id = started.gv(QStringLiteral("id"));
            m_download.active = true;
            ++m_figures.downloadsStarted;
            return;
        }
        KvrConfig asking;
        asking.sv(QStringLiteral("id"), m_download.id);
        const KvrConfig state = m_clients[kAlice]->probe().invoke(QStringLiteral("WFtp"), QStringLiteral("transferState"),
                                                                  asking, &invoked, kInvokeTimeoutMs);
        if (state.gv(QStringLiteral("returned")) != QLatin1String("true"))
            return;
        m_download.active = false;
        if (!state.checkResult()) {
            ++m_figures.downloadsFailed;
            return;
        }
        QCOMPARE(sha256(m_download.landing), sha256(m_download.source));
        ++m_figures.downloadsIdentical;
    }

    struct Download
    {
        bool active = false;
        QString id;
        QString source;
        QString landing;
    };

    QTemporaryDir m_files;
    E2eFixture m_fixture;
    std::map<QString, std::unique_ptr<ClientProcess>> m_clients;
    QHash<QString, QDeadlineTimer> m_stoppedUntil;
    // The ids of the messages sent to each user.
    QHash<QString, QStringList> m_sent;
    QRandomGenerator m_random;
    Figures m_figures;
    Download m_download;
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailFaultSoak)
#include "tst_WMailFaultSoak.moc"
