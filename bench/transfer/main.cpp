// Transfers between two client processes on one machine: bob shares a folder
// with alice, whose transfer manager downloads a 1 GiB file, a folder of
// 1000 files of 10 KB and one of 10 000 files of 1 KB, then uploads a 100 MiB
// file, and downloads 256 MiB over long links (100 ms and 20 ms round trip,
// 60 MiB/s). The folders of small files stand beside rsync -a, scp and tar
// piped through socat; the other figures beside the same bytes copied over a
// bare TCP socket (file to socket to file) and scp, the long links also
// beside rsync -a, all of them through the same link relay (LinkRelay), which
// alice's links to bob reach through a preloaded connect() redirect
// (ConnectRedirect). scp and rsync go to the local sshd run.sh sets up
// (BENCH_SCP_PORT, BENCH_SCP_KEY).
//
// What limits the figures (perf of both clients on a loaded 8-core machine):
// - the large download keeps as many reads on their way as the measured rate
//   times the round trip asks for (ReadWindow), so no side waits for a round
//   trip, on a long link either. The busiest thread is then the receiver's
//   link thread (about half a core: decrypting the stream and parsing its
//   records), then the owner's link thread; the receiver's worker hands the
//   bytes to a writer thread, which meets the page cache; the owner's pool
//   threads read the file.
// - small files of a folder come up to 128 a request with three requests on
//   their way, so a folder of 10 000 costs about 80 round trips; the owner
//   opens and reads them under the folder it resolved once. At the receiver
//   nearly all the CPU is the file system's: each file is written nameless
//   and linked into its folder once a batch is durable (one syncfs and one
//   sync of the folder a batch), so a file costs one new entry in the folder
//   rather than a temporary and a rename.
// - an upload keeps a window of writes on their way like a download's reads;
//   the owner holds a write that overtook the bytes before it until they come.

#include "BenchFigures.h"
#include "LinkRelay.h"
#include "TwoClients.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr qint64 kBigBytes = 1024LL * 1024 * 1024;
constexpr qint64 kUploadBytes = 100LL * 1024 * 1024;
constexpr int kSmallFiles = 1000;
constexpr int kSmallBytes = 10 * 1000;
constexpr int kBlock = 4 * 1024 * 1024;
constexpr int kTinyFiles = 10000;
constexpr int kTinyBytes = 1000;
constexpr qint64 kLongBytes = 256LL * 1024 * 1024;
constexpr double kLongLinkBytesPerSecond = 60.0 * 1024 * 1024;

// A long link the bytes take; none (0 ms, no cap) is the bare loopback.
struct LinkShape
{
    int roundTripMs = 0;
    double bytesPerSecond = 0;
    bool isLong() const { return roundTripMs > 0 || bytesPerSecond > 0; }
};

// The port to connect to for upstreamPort, through relay when the shape is long.
quint16 routed(std::unique_ptr<LinkRelay> &relay, quint16 upstreamPort, const LinkShape &shape)
{
    if (!shape.isLong())
        return upstreamPort;
    relay = std::make_unique<LinkRelay>(upstreamPort);
    relay->setShape(shape.roundTripMs, shape.bytesPerSecond);
    if (relay->port() == 0)
        qFatal("the link relay could not listen");
    return relay->port();
}

void writeFile(const QString &path, qint64 size)
{
    QFile file(path);
    const QByteArray block = E2eFixture::randomBytes(int(qMin<qint64>(size, kBlock)));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    for (qint64 written = 0; written < size; written += block.size())
        file.write(block.left(int(qMin<qint64>(block.size(), size - written))));
}

QStringList filesUnder(const QString &top)
{
    QStringList files;
    if (QFileInfo(top).isFile())
        return {top};
    QDirIterator it(top, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

// Every file under source copied over one loopback TCP connection into
// target (a folder), each file opened and written as a transfer does.
qint64 rawCopyNs(const QString &source, const QString &target, const LinkShape &shape)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    std::unique_ptr<LinkRelay> relay;
    const quint16 port = routed(relay, server.serverPort(), shape);
    const QStringList files = filesUnder(source);
    QElapsedTimer timer;
    timer.start();
    std::thread sender([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.waitForConnected();
        for (const QString &path : files) {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            const QByteArray header = QByteArray::number(file.size()) + '\n';
            socket.write(header);
            while (!file.atEnd()) {
                socket.write(file.read(kBlock / 16));
                while (socket.bytesToWrite() > kBlock)
                    socket.waitForBytesWritten();
            }
        }
        while (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten();
        socket.waitForDisconnected(-1);
    });
    server.waitForNewConnection(-1);
    QTcpSocket *socket = server.nextPendingConnection();
    for (int i = 0; i < files.size(); ++i) {
        while (!socket->canReadLine())
            socket->waitForReadyRead();
        qint64 left = socket->readLine().trimmed().toLongLong();
        QFile out(target + QStringLiteral("/raw%1").arg(i));
        out.open(QIODevice::WriteOnly);
        while (left > 0) {
            if (socket->bytesAvailable() == 0)
                socket->waitForReadyRead();
            const QByteArray data = socket->read(qMin<qint64>(left, kBlock));
            out.write(data);
            left -= data.size();
        }
    }
    socket->disconnectFromHost();
    sender.join();
    return timer.nsecsElapsed();
}

const QStringList kSshOptions{"-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null", "-o",
                               "BatchMode=yes"};

// scp of source (file or folder) into target; -1 when no sshd was set up.
qint64 scpNs(const QString &source, const QString &target, bool upload, const LinkShape &shape = LinkShape())
{
    const quint16 sshdPort = quint16(qEnvironmentVariableIntValue("BENCH_SCP_PORT"));
    const QString key = qEnvironmentVariable("BENCH_SCP_KEY");
    if (sshdPort == 0 || key.isEmpty())
        return -1;
    std::unique_ptr<LinkRelay> relay;
    const quint16 port = routed(relay, sshdPort, shape);
    const QString remote = QStringLiteral("127.0.0.1:");
    QStringList arguments = QStringList{"-q", "-r", "-P", QString::number(port), "-i", key} + kSshOptions;
    arguments << (upload ? source : remote + source) << (upload ? remote + target : target);
    QElapsedTimer timer;
    timer.start();
    if (QProcess::execute(QStringLiteral("scp"), arguments) != 0)
        return -1;
    return timer.nsecsElapsed();
}

// rsync -a of the file source into target over ssh to the same sshd; -1
// when none was set up or rsync is missing.
qint64 rsyncFileNs(const QString &source, const QString &target, const LinkShape &shape)
{
    const quint16 sshdPort = quint16(qEnvironmentVariableIntValue("BENCH_SCP_PORT"));
    const QString key = qEnvironmentVariable("BENCH_SCP_KEY");
    if (sshdPort == 0 || key.isEmpty())
        return -1;
    std::unique_ptr<LinkRelay> relay;
    const quint16 port = routed(relay, sshdPort, shape);
    const QString ssh = (QStringList{"ssh", "-p", QString::number(port), "-i", key} + kSshOptions).join(' ');
    QElapsedTimer timer;
    timer.start();
    if (QProcess::execute(QStringLiteral("rsync"), {"-a", "-e", ssh, "127.0.0.1:" + source, target + '/'}) != 0)
        return -1;
    return timer.nsecsElapsed();
}

// The ssh options of the copies to run.sh's sshd; empty when none was set up.
QStringList sshOptions()
{
    const QString port = qEnvironmentVariable("BENCH_SCP_PORT");
    const QString key = qEnvironmentVariable("BENCH_SCP_KEY");
    if (port.isEmpty() || key.isEmpty())
        return {};
    return {"-p", port, "-i", key, "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
            "-o", "BatchMode=yes"};
}

// rsync -a of the folder source into target over ssh to the local sshd; -1
// when there is none (or no rsync).
qint64 rsyncNs(const QString &source, const QString &target)
{
    const QStringList ssh = sshOptions();
    if (ssh.isEmpty())
        return -1;
    const QStringList arguments{"-a", "-e", "ssh " + ssh.join(' '), "127.0.0.1:" + source + "/", target + "/"};
    QElapsedTimer timer;
    timer.start();
    if (QProcess::execute(QStringLiteral("rsync"), arguments) != 0)
        return -1;
    return timer.nsecsElapsed();
}

// tar of the folder source streamed through socat over one loopback TCP
// connection and unpacked into target; -1 without socat.
qint64 tarSocatNs(const QString &source, const QString &target)
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const QString port = QString::number(probe.serverPort());
    probe.close();
    QProcess receiver;
    receiver.start(QStringLiteral("bash"),
                   {"-c", "socat -u TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr - | tar -x -C '" + target + "'"});
    if (!receiver.waitForStarted())
        return -1;
    QElapsedTimer timer;
    timer.start();
    // The listener may take a moment to bind: the sender tries again.
    const QString send = "for i in $(seq 200); do tar -c -C '" + source
        + "' . | socat -u - TCP:127.0.0.1:" + port + " 2>/dev/null && exit 0; sleep 0.01; done; exit 1";
    const int sent = QProcess::execute(QStringLiteral("bash"), {"-c", send});
    receiver.waitForFinished(-1);
    if (sent != 0 || receiver.exitCode() != 0)
        return -1;
    return timer.nsecsElapsed();
}

double perSecond(double amount, qint64 ns)
{
    return amount / (double(ns) / 1e9);
}

qint64 median(std::vector<qint64> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? -1 : samples[samples.size() / 2];
}

} // namespace

// A folder of many small files downloaded by alice, each run beside rsync -a
// and scp from the local sshd (run.sh) and tar piped through socat, all
// through the loopback. Prints files per second.
void measureSmallFiles(const char *figure, int files, const QString &source, const QString &landingTop, int runs,
                       const std::function<qint64(const QString &target)> &download)
{
    std::vector<qint64> own, rsync, scp, tar;
    for (int run = 0; run < runs; ++run) {
        const QString landing = landingTop + QStringLiteral("/%1-%2").arg(files).arg(run);
        QDir().mkpath(landing);
        own.push_back(download(landing));
        QDir(landing).removeRecursively();
        QTemporaryDir rsyncTarget, scpTarget, tarTarget;
        rsync.push_back(rsyncNs(source, rsyncTarget.path()));
        scp.push_back(scpNs(source, scpTarget.path(), false));
        tar.push_back(tarSocatNs(source, tarTarget.path()));
    }
    const double value = perSecond(files, median(own));
    const auto beside = [&](const char *baseline, const std::vector<qint64> &samples) {
        if (*std::min_element(samples.begin(), samples.end()) > 0)
            BenchFigures::printFigure(figure, value, "files/s", baseline, perSecond(files, median(samples)));
        else
            printf("%s: no %s figure (run through bench/transfer/run.sh for one)\n", figure, baseline);
    };
    beside("rsync -a from a local sshd", rsync);
    beside("scp from a local sshd", scp);
    beside("tar | socat", tar);
}

// bench_transfer [big] [small] [tiny] [upload] [long100] [long20]: the cases to
// run (all by default).
// BENCH_RUNS sets the runs of each (3); every figure is their median, the
// transfer's and its baselines' runs taken in turns. BENCH_WFTP_PLUGIN names
// another build of the plug-in to measure (an older one, to compare). The clients' process ids
// go to stderr; BENCH_ATTACH_WAIT_S waits that long after it, so a profiler
// can attach before the first case.
int main(int argc, char **argv)
{
    QTemporaryDir home;
    TwoClients::useHome(home);
    QCoreApplication app(argc, argv);
    QStringList cases = app.arguments().mid(1);
    if (cases.isEmpty())
        cases = QStringList{"big", "small", "tiny", "upload", "long100", "long20"};
    const int asked = qEnvironmentVariableIntValue("BENCH_RUNS");
    const int runs = asked > 0 ? asked : 3;

    const QString docs = home.filePath(QStringLiteral("docs"));
    const QString mine = home.filePath(QStringLiteral("mine"));
    for (const QString &folder : {docs + "/small", docs + "/tiny", mine})
        QDir().mkpath(folder);
    if (cases.contains("big"))
        writeFile(docs + QStringLiteral("/big.bin"), kBigBytes);
    if (cases.contains("small")) {
        for (int i = 0; i < kSmallFiles; ++i)
            writeFile(docs + QStringLiteral("/small/f%1.bin").arg(i), kSmallBytes);
    }
    if (cases.contains("tiny")) {
        for (int i = 0; i < kTinyFiles; ++i)
            writeFile(docs + QStringLiteral("/tiny/f%1.bin").arg(i), kTinyBytes);
    }
    if (cases.contains("upload"))
        writeFile(mine + QStringLiteral("/up.bin"), kUploadBytes);
    if (cases.contains("long100") || cases.contains("long20"))
        writeFile(docs + QStringLiteral("/long.bin"), kLongBytes);

    // Alice's connects to bob go through the relay while this file names it.
    const QString redirect = home.filePath(QStringLiteral("redirect"));
    TwoClients clients(qEnvironmentVariable("BENCH_WFTP_PLUGIN", QStringLiteral(WIVORA_WFTP_PLUGIN)),
                       {{"LD_PRELOAD", QStringLiteral(WIVORA_CONNECT_REDIRECT)}, {"WIVORA_BENCH_REDIRECT_FILE", redirect}});
    ClientProcess &alice = clients.alice();
    LinkRelay bobsLink(clients.bob().listeningPort());
    const QString disc = clients.shareWithAlice(docs);
    fprintf(stderr, "clients: alice %lld, bob %lld\n", alice.processId(), clients.bob().processId());
    QThread::sleep(qEnvironmentVariableIntValue("BENCH_ATTACH_WAIT_S"));

    // One transfer from its start until its worker returned.
    const auto transfer = [&](const KvrConfig &request) {
        QElapsedTimer timer;
        timer.start();
        const KvrConfig started =
            alice.probe().invoke(TwoClients::kFileSharing, QStringLiteral("startTransfer"), request);
        KvrConfig state = TwoClients::keys({{"id", started.gv("id")}});
        for (;;) {
            const KvrConfig now =
                alice.probe().invoke(TwoClients::kFileSharing, QStringLiteral("transferState"), state);
            if (now.gv("returned") == QLatin1String("true")) {
                if (!now.checkResult() || now.gv("completed").toInt() == 0)
                    qFatal("a transfer failed");
                return timer.nsecsElapsed();
            }
            QThread::msleep(5);
        }
    };
    // Each run lands in a folder of its own, so nothing is skipped as existing.
    int landings = 0;
    const auto measure = [&](const char *figure, const char *unit, double amount, const QString &source, bool upload,
                             const std::function<KvrConfig(const QString &target)> &request,
                             const LinkShape &shape = LinkShape()) {
        std::vector<qint64> own, raw, scp, rsync;
        for (int run = 0; run < runs; ++run) {
            const QString landing = QStringLiteral("/landing%1").arg(++landings);
            QDir().mkpath((upload ? docs : home.path()) + landing);
            if (shape.isLong()) {
                bobsLink.setShape(shape.roundTripMs, shape.bytesPerSecond);
                QFile control(redirect);
                if (!control.open(QIODevice::WriteOnly)
                    || control.write(QByteArray::number(clients.bob().listeningPort()) + ' '
                                     + QByteArray::number(bobsLink.port()) + '\n') <= 0)
                    qFatal("cannot write %s", qPrintable(redirect));
            }
            const qint64 relayedBefore = bobsLink.bytesDown();
            own.push_back(transfer(request(upload ? disc + landing : home.path() + landing)));
            QFile::remove(redirect);
            // A link made before the relay was named would bypass it.
            if (shape.isLong() && bobsLink.bytesDown() - relayedBefore < qint64(amount * 1024 * 1024))
                qFatal("%s did not go through the link relay", figure);
            QTemporaryDir rawTarget;
            raw.push_back(rawCopyNs(source, rawTarget.path(), shape));
            QTemporaryDir scpTarget;
            scp.push_back(scpNs(source, upload ? docs + landing + "/scp" : scpTarget.path(), upload, shape));
            if (shape.isLong()) {
                QTemporaryDir rsyncTarget;
                rsync.push_back(rsyncFileNs(source, rsyncTarget.path(), shape));
            }
            QDir((upload ? docs : home.path()) + landing).removeRecursively();
        }
        const double value = perSecond(amount, median(own));
        QStringList each;
        for (const qint64 ns : own)
            each << QString::number(perSecond(amount, ns), 'f', 1);
        printf("%s: runs in turn %s %s\n", figure, qPrintable(each.join(' ')), unit);
        BenchFigures::printFigure(figure, value, unit, "raw TCP copy", perSecond(amount, median(raw)));
        if (shape.bytesPerSecond > 0)
            BenchFigures::printFigure(figure, value, unit, "the link's rate", shape.bytesPerSecond / (1024.0 * 1024.0), 2);
        if (*std::min_element(scp.begin(), scp.end()) > 0)
            BenchFigures::printFigure(figure, value, unit, "scp to a local sshd", perSecond(amount, median(scp)));
        else
            printf("%s: no scp figure (run through bench/transfer/run.sh for one)\n", figure);
        if (!rsync.empty() && *std::min_element(rsync.begin(), rsync.end()) > 0)
            BenchFigures::printFigure(figure, value, unit, "rsync -a over ssh", perSecond(amount, median(rsync)));
        else if (!rsync.empty())
            printf("%s: no rsync figure (run through bench/transfer/run.sh for one)\n", figure);
    };

    const double mib = 1024.0 * 1024.0;
    if (cases.contains("big"))
        measure("download of 1 GiB", "MiB/s", kBigBytes / mib, docs + "/big.bin", false, [&](const QString &target) {
            return TwoClients::keys({{"files", disc + "/big.bin"}, {"target", target}, {"base", disc}});
        });
    const auto downloadFolder = [&](const QString &folder) {
        return [&, folder](const QString &target) {
            return transfer(TwoClients::keys({{"folders", disc + "/" + folder}, {"target", target}, {"base", disc}}));
        };
    };
    if (cases.contains("small"))
        measureSmallFiles("download of 1000 files of 10 KB", kSmallFiles, docs + "/small", home.path() + "/landing-small",
                          runs, downloadFolder("small"));
    if (cases.contains("tiny"))
        measureSmallFiles("download of 10000 files of 1 KB", kTinyFiles, docs + "/tiny", home.path() + "/landing-tiny",
                          runs, downloadFolder("tiny"));
    if (cases.contains("upload"))
        measure("upload of 100 MiB", "MiB/s", kUploadBytes / mib, mine + "/up.bin", true, [&](const QString &target) {
            return TwoClients::keys({{"files", mine + "/up.bin"}, {"target", target}, {"base", mine}});
        });
    for (const int roundTripMs : {100, 20}) {
        const QString name = QStringLiteral("long%1").arg(roundTripMs);
        if (!cases.contains(name))
            continue;
        const QByteArray figure = QStringLiteral("download of 256 MiB over %1 ms at 60 MiB/s").arg(roundTripMs).toUtf8();
        measure(figure.constData(), "MiB/s", kLongBytes / mib, docs + "/long.bin", false,
                [&](const QString &target) {
                    return TwoClients::keys({{"files", disc + "/long.bin"}, {"target", target}, {"base", disc}});
                },
                LinkShape{roundTripMs, kLongLinkBytesPerSecond});
    }
    return 0;
}
