// File sharing between two client processes on one machine: bob shares a
// folder with alice; alice's plug-in reads a 256 MiB file of it through the
// remote file proxy in the largest chunks a peer may ask for, then asks 1000
// small requests one after another. Driven from this process through alice's
// probe, so each small request also holds one loopback round trip of the
// probe's control channel.
//
// Baselines, in the same run: the bulk bytes as 4 MiB records through a bare
// TcpConnection pair whose far side echoes each record (every byte crosses
// twice there, once through the proxy), that pair's small round trip, and a
// request of the same road answered by the echo plug-in.

#include "BenchFigures.h"
#include "TransportBaseline.h"
#include "TwoClients.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

namespace {

constexpr qint64 kFileBytes = 256LL * 1024 * 1024;
constexpr int kChunk = 4 * 1024 * 1024;
constexpr int kWarmUp = 50;
constexpr int kRequests = 1000;
constexpr int kWaitMs = 10000;

double mibPerSecond(qint64 bytes, qint64 ns)
{
    return double(bytes) / (1024.0 * 1024.0) / (double(ns) / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    TwoClients::useHome(home);
    QCoreApplication app(argc, argv);

    const QString docs = home.filePath(QStringLiteral("docs"));
    QDir().mkpath(docs);
    {
        QFile big(docs + QStringLiteral("/big.bin"));
        const QByteArray block = E2eFixture::randomBytes(kChunk);
        if (!big.open(QIODevice::WriteOnly))
            qFatal("cannot write the file");
        for (qint64 written = 0; written < kFileBytes; written += block.size())
            big.write(block);
    }

    TwoClients clients(QStringLiteral(WIVORA_WFTP_PLUGIN));
    ClientProcess &alice = clients.alice();
    const QString disc = clients.shareWithAlice(docs);

    // Bulk: the proxy against the bare pair.
    TransportBaseline baseline;
    if (!baseline.start(kWaitMs))
        qFatal("baseline did not connect");
    KvrConfig chunk = E2eFixture::newRecord(QStringLiteral("bench:::bulk"));
    chunk.SetValue(QStringLiteral("data"), E2eFixture::randomBytes(kChunk));
    QElapsedTimer timer;
    timer.start();
    for (qint64 moved = 0; moved < kFileBytes; moved += kChunk) {
        chunk.SetID();
        if (baseline.connection().sendCommand(chunk, kWaitMs).isEmpty())
            qFatal("baseline lost a record");
    }
    const double rawRate = mibPerSecond(kFileBytes, timer.nsecsElapsed());

    timer.restart();
    const KvrConfig read = alice.probe().invoke(
        TwoClients::kFileSharing, QStringLiteral("readFile"),
        TwoClients::keys({{"path", disc + "/big.bin"}, {"chunk", QString::number(kChunk)}, {"hash", "false"}}), nullptr,
        600000);
    const qint64 readNs = timer.nsecsElapsed();
    if (!read.checkResult() || read.gv("size").toLongLong() != kFileBytes)
        qFatal("the read through the proxy failed");
    BenchFigures::printFigure("VirtualFile read of 256 MiB, 4 MiB chunks", mibPerSecond(kFileBytes, readNs), "MiB/s",
                              "TcpConnection 4 MiB records echoed", rawRate);

    // Small requests, one after another.
    KvrConfig ping = E2eFixture::newRecord(QStringLiteral("bench:::ping"), 64);
    const auto raw = BenchFigures::percentiles(
        BenchFigures::timedRuns(kWarmUp, kRequests,
                                [&] {
                                    ping.SetID();
                                    return !baseline.connection().sendCommand(ping, kWaitMs).isEmpty();
                                }),
        BenchFigures::kMillisecond);
    const KvrConfig check = TwoClients::keys({{"path", disc + "/big.bin"}});
    const auto requests = BenchFigures::percentiles(
        BenchFigures::timedRuns(kWarmUp, kRequests,
                                [&] {
                                    return alice.probe()
                                        .invoke(TwoClients::kFileSharing, QStringLiteral("checkFile"), check)
                                        .checkResult();
                                }),
        BenchFigures::kMillisecond);
    // The same road without file sharing: the probe's request answered by
    // bob's echo plug-in.
    const auto echo = BenchFigures::percentiles(
        BenchFigures::timedRuns(kWarmUp, kRequests,
                                [&] {
                                    const KvrConfig asking = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 64);
                                    return !alice.probe().request(QStringLiteral("bob"), asking, false, QString(), kWaitMs).isEmpty();
                                }),
        BenchFigures::kMillisecond);
    BenchFigures::printFigure("checkFileExist request p50", requests.p50, "ms", "TcpConnection round trip p50", raw.p50, 3);
    BenchFigures::printFigure("checkFileExist request p99", requests.p99, "ms", "TcpConnection round trip p99", raw.p99, 3);
    BenchFigures::printFigure("checkFileExist request p50", requests.p50, "ms", "plug-in echo request p50", echo.p50, 3);
    BenchFigures::printFigure("checkFileExist request p99", requests.p99, "ms", "plug-in echo request p99", echo.p99, 3);
    return 0;
}
