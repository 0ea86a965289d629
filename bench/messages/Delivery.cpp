#include "Delivery.h"

#include "BenchFigures.h"
#include "E2eFixture.h"
#include "WMailConversation.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <cstdio>

namespace {

constexpr int kWarmUp = 20;
constexpr int kMessages = 300;
constexpr int kHistory = 10000;
constexpr int kWaitMs = 10000;

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");

QString sendOne(ClientProcess &alice)
{
    KvrConfig request;
    request.sv(QStringLiteral("user"), kBob);
    request.SetValue(QStringLiteral("data"), QByteArray(1024, 't'));
    return alice.probe().invoke(QStringLiteral("WMail"), QStringLiteral("sendMessage"), request).gv(
        QStringLiteral("id"));
}

// Bob's journal, where each message he files is appended, read as it grows.
class FilingWatch
{
public:
    explicit FilingWatch(const QString &folder) : m_path(folder + QStringLiteral("/alice.wmj")) {}

    // True once a record holding id has been appended.
    bool filed(const QString &id)
    {
        QByteArray pattern; // the id as the journal stores text: UTF-16, big-endian
        for (const QChar c : id)
            pattern.append(char(c.row())).append(char(c.cell()));
        QFile journal(m_path);
        if (!journal.open(QIODevice::ReadOnly))
            return false;
        if (journal.size() < m_seen)
            m_seen = 0; // folded and begun again
        const qint64 from = qMax<qint64>(0, m_seen - pattern.size());
        if (!journal.seek(from))
            return false;
        const QByteArray grown = journal.readAll();
        m_seen = from + grown.size();
        return grown.contains(pattern);
    }

private:
    const QString m_path;
    qint64 m_seen = 0;
};

// Sends 1 KiB of text from alice to bob and waits until bob has filed it;
// false when it does not come.
bool deliverOne(ClientProcess &alice, FilingWatch &bobFiling)
{
    const QString id = sendOne(alice);
    if (id.isEmpty())
        return false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kWaitMs) {
        if (bobFiling.filed(id))
            return true;
        QThread::usleep(100);
    }
    return false;
}

// A conversation of `messages` earlier text messages in folder, as a client
// leaves it after a while: written whole once, then appended to.
bool writeHistory(const QString &folder, const QString &name, const QString &owner, int messages)
{
    WMailConversation conversation(folder, name);
    conversation.initialise(name, owner, {name});
    const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-messages);
    for (int i = 0; i < messages; ++i) {
        const auto message = conversation.newMessage(QStringLiteral("text"), i % 2 ? owner : name, start.addSecs(i));
        if (!conversation.addMessage(conversation.viewRoot(), message, QByteArray(1024, 'h'), false))
            return false;
    }
    return conversation.saveConversation();
}

// Bytes the process has had written to disk so far; -1 when unknown.
qint64 writtenBytes(qint64 pid)
{
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("write_bytes:"))
            return line.mid(12).trimmed().toLongLong();
    }
    return -1;
}

qint64 conversationBytes(const QString &folder, const QString &name)
{
    qint64 total = 0;
    for (const char *suffix : {".wml", ".wmj", ".wpl"})
        total += QFileInfo(folder + QLatin1Char('/') + name + QLatin1String(suffix)).size();
    return total;
}

struct Clients
{
    E2eFixture fixture;
    std::unique_ptr<ClientProcess> alice;
    std::unique_ptr<ClientProcess> bob;
    QString bobFolder;

    // Both clients running, each with `history` messages with the other.
    bool start(int history)
    {
        if (!fixture.startService({kAlice, kBob}, {{kAlice, kBob}}))
            return false;
        alice = fixture.client(kAlice);
        bob = fixture.client(kBob);
        const QString wmail = QStringLiteral(WIVORA_WMAIL_PLUGIN);
        if (!alice || !bob || !alice->installPlugin(wmail) || !bob->installPlugin(wmail))
            return false;
        bobFolder = bob->storagePath(QStringLiteral("pluginsstorage/bob/wmail"));
        if (history > 0
            && (!writeHistory(bobFolder, kAlice, kBob, history)
                || !writeHistory(alice->storagePath(QStringLiteral("pluginsstorage/alice/wmail")), kBob, kAlice,
                                 history)))
            return false;
        return bob->start() && alice->start();
    }
};

bool measureWithHistory(int history)
{
    Clients clients;
    if (!clients.start(history))
        return false;
    ClientProcess &alice = *clients.alice;
    FilingWatch bobFiling(clients.bobFolder);
    const std::vector<qint64> deliveries =
        BenchFigures::timedRuns(kWarmUp, kMessages, [&] { return deliverOne(alice, bobFiling); });
    const std::vector<qint64> roundTrips = BenchFigures::timedRuns(kWarmUp, kMessages, [&] {
        const KvrConfig ping = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 1024);
        return !alice.probe().request(kBob, ping, false, QString(), kWaitMs).isEmpty();
    });
    if (deliveries.size() != size_t(kMessages) || roundTrips.size() != size_t(kMessages))
        return false;
    const auto delivery = BenchFigures::percentiles(deliveries, BenchFigures::kMillisecond);
    const auto roundTrip = BenchFigures::percentiles(roundTrips, BenchFigures::kMillisecond);
    const QByteArray p50 = QStringLiteral("1 KiB message alice->bob at %1 messages of history, send to filing p50")
                               .arg(history).toUtf8();
    const QByteArray p99 = QStringLiteral("1 KiB message alice->bob at %1 messages of history, send to filing p99")
                               .arg(history).toUtf8();
    BenchFigures::printFigure(p50.constData(), delivery.p50, "ms", "1 KiB request round trip p50", roundTrip.p50, 3);
    BenchFigures::printFigure(p99.constData(), delivery.p99, "ms", "1 KiB request round trip p99", roundTrip.p99, 3);
    return true;
}

// Alice sends `messages` messages as fast as she can; bob files them all.
// The bytes bob's process had written meanwhile, beside the size of the
// conversation's files at the end.
bool measureFlood(int messages)
{
    Clients clients;
    if (!clients.start(0))
        return false;
    const qint64 bobPid = clients.bob->processId();
    // Bob's GUI thread, idle first for the baseline, then through the flood.
    clients.bob->probe().longestGuiStallMs();
    QThread::msleep(2000);
    const double idleStallMs = clients.bob->probe().longestGuiStallMs();
    const qint64 writtenBefore = writtenBytes(bobPid);
    QString last;
    for (int i = 0; i < messages; ++i) {
        last = sendOne(*clients.alice);
        if (last.isEmpty())
            return false;
    }
    QElapsedTimer quiet;
    quiet.start();
    int filed = 0;
    while (quiet.elapsed() < 60000) {
        WMailConversation conversation(clients.bobFolder, kAlice);
        const int now = conversation.loadHeader() ? conversation.messageIds().size() : 0;
        if (now == messages)
            break;
        if (now != filed)
            quiet.restart();
        filed = now;
        QThread::msleep(200);
    }
    const qint64 written = writtenBytes(bobPid) - writtenBefore;
    const double floodStallMs = clients.bob->probe().longestGuiStallMs();
    const qint64 size = conversationBytes(clients.bobFolder, kAlice);
    WMailConversation conversation(clients.bobFolder, kAlice);
    if (writtenBefore < 0 || !conversation.loadHeader() || conversation.messageIds().size() != messages)
        return false;
    const QByteArray figure = QStringLiteral("flood of %1 messages: MB written by the receiver").arg(messages).toUtf8();
    BenchFigures::printFigure(figure.constData(), double(written) / 1e6, "MB", "final size of its conversation files",
                              double(size) / 1e6, 2);
    const QByteArray stall = QStringLiteral("flood of %1 messages: longest stall of the receiver's GUI thread")
                                 .arg(messages).toUtf8();
    BenchFigures::printFigure(stall.constData(), floodStallMs, "ms", "the same while idle for 2 s", idleStallMs, 1);
    return true;
}

} // namespace

bool measureDelivery()
{
    const int flood = qEnvironmentVariableIsSet("WIVORA_BENCH_FLOOD") ? qEnvironmentVariableIntValue("WIVORA_BENCH_FLOOD")
                                                                        : 10000;
    return measureWithHistory(0) && measureWithHistory(kHistory) && measureFlood(flood);
}
