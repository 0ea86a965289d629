// The record road between two client processes on one machine: alice's probe
// plug-in sends "echo:::ping" records to bob, bob's echo plug-in sends each
// back, and alice's probe waits for the reply, from 1, 4 or 16 requester
// threads at once. The probe times every round trip inside alice's process,
// so the control channel of the test is not in the figures.
//
// The baseline, measured in the same run with the same frame sizes, is plain
// blocking sockets on loopback between this process and one more (no Qt, no
// encryption): a connection per requester, echoed by a thread per connection
// (RawTcpEcho).
//
// CPU time per round trip adds alice's and bob's user and system time (from
// /proc/<pid>/stat); the baseline's adds both of its processes'.
//
// "bench_e2e small" runs only the round trips of small records, "bench_e2e
// large" only the 1 MiB records (for profiling one of them).

#include "BenchFigures.h"
#include "E2eFixture.h"
#include "RawTcpEcho.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <ctime>
#include <unistd.h>

#include <functional>
#include <vector>

namespace {

constexpr int kWaitMs = 30000;
constexpr int kSmallPayload = 64;
constexpr int kLargePayload = 1024 * 1024;

struct Run
{
    std::vector<qint64> samples;
    qint64 elapsedNs = 0;
    double cpuSeconds = 0;

    double perSecond() const { return double(samples.size()) / (double(elapsedNs) / 1e9); }
    double cpuMicrosecondsPerRoundTrip() const { return cpuSeconds * 1e6 / double(samples.size()); }
    // Both directions: the request and its echo.
    double gigabytesPerSecond(int bodyBytes) const
    {
        return 2.0 * double(bodyBytes) * double(samples.size()) / double(elapsedNs);
    }
};

// User plus system time of the process so far.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        qFatal("no /proc/%lld/stat", pid);
    const QByteArray text = stat.readAll();
    // The fields after the name in parentheses, from the state (field 3) on.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble(); // utime, stime
    return ticks / double(sysconf(_SC_CLK_TCK));
}

double cpuSeconds(const std::vector<qint64> &pids)
{
    double sum = 0;
    for (const qint64 pid : pids)
        sum += cpuSeconds(pid);
    return sum;
}

KvrConfig ping(int payloadBytes)
{
    return E2eFixture::newRecord(QStringLiteral("echo:::ping"), payloadBytes);
}

// The frame body the road carries for a ping of payloadBytes.
int bodyBytes(int payloadBytes)
{
    return ping(payloadBytes).SerializeConfigBinary().size();
}

class Measurement
{
public:
    Measurement(ProbeClient &alice, QString bob, std::vector<qint64> clientPids, std::function<QString()> diagnostics)
        : m_alice(alice), m_bob(std::move(bob)), m_clientPids(std::move(clientPids)), m_diagnostics(std::move(diagnostics))
    {
        if (!m_raw.start(QCoreApplication::applicationFilePath()))
            qFatal("raw TCP: the echoing process did not start");
    }

    Run road(int payloadBytes, int count, int requesters)
    {
        Run run;
        const double cpuBefore = cpuSeconds(m_clientPids);
        run.samples = m_alice.load(m_bob, ping(payloadBytes), count, requesters, &run.elapsedNs, kWaitMs);
        run.cpuSeconds = cpuSeconds(m_clientPids) - cpuBefore;
        if (run.samples.empty())
            qFatal("road: a reply did not come\n%s", qPrintable(m_diagnostics()));
        return run;
    }

    Run raw(int payloadBytes, int count, int requesters)
    {
        Run run;
        const double cpuBefore = m_raw.cpuSeconds();
        run.samples = m_raw.run(bodyBytes(payloadBytes), count, requesters, &run.elapsedNs);
        run.cpuSeconds = m_raw.cpuSeconds() - cpuBefore;
        if (run.samples.empty())
            qFatal("raw TCP: a socket failed");
        return run;
    }

private:
    ProbeClient &m_alice;
    const QString m_bob;
    const std::vector<qint64> m_clientPids;
    const std::function<QString()> m_diagnostics;
    RawTcpEcho m_raw;
};

void printFigure(const QByteArray &figure, double value, const char *unit, const QByteArray &baseline,
                 double baselineValue, int decimals)
{
    BenchFigures::printFigure(figure.constData(), value, unit, baseline.constData(), baselineValue, decimals);
}

void roundTrips(Measurement &measurement, int requesters, int count)
{
    // Warm both roads first: links, threads, caches.
    measurement.road(kSmallPayload, qMax(1, 200 / requesters), requesters);
    measurement.raw(kSmallPayload, qMax(1, 200 / requesters), requesters);
    const Run road = measurement.road(kSmallPayload, count, requesters);
    const Run raw = measurement.raw(kSmallPayload, count, requesters);

    const QByteArray who = " with " + QByteArray::number(requesters) + " requester(s)";
    const auto ms = [](const Run &run) { return BenchFigures::percentiles(run.samples, BenchFigures::kMillisecond); };
    printFigure("plug-in round trip p50" + who, ms(road).p50, "ms", "raw TCP", ms(raw).p50, 3);
    printFigure("plug-in round trip p99" + who, ms(road).p99, "ms", "raw TCP", ms(raw).p99, 3);
    printFigure("plug-in requests per second" + who, road.perSecond(), "req/s", "raw TCP", raw.perSecond(), 0);
    printFigure("CPU per round trip, both clients," + who, road.cpuMicrosecondsPerRoundTrip(), "us",
                "raw TCP, both ends", raw.cpuMicrosecondsPerRoundTrip(), 1);
}

void largeRecords(Measurement &measurement, int inFlight, int count)
{
    measurement.road(kLargePayload, 2, inFlight);
    measurement.raw(kLargePayload, 2, inFlight);
    const Run road = measurement.road(kLargePayload, count, inFlight);
    const Run raw = measurement.raw(kLargePayload, count, inFlight);
    const QByteArray who = " with " + QByteArray::number(inFlight) + " in flight";
    printFigure("1 MiB records" + who, road.gigabytesPerSecond(bodyBytes(kLargePayload)), "GB/s", "raw TCP",
                raw.gigabytesPerSecond(bodyBytes(kLargePayload)), 3);
    printFigure("CPU per 1 MiB round trip, both clients," + who, road.cpuMicrosecondsPerRoundTrip(), "us",
                "raw TCP, both ends", raw.cpuMicrosecondsPerRoundTrip(), 1);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], RawTcpEcho::ServeArgument) == 0)
        return RawTcpEcho::serve();
    const QByteArray part = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (!part.isEmpty() && part != "small" && part != "large")
        qFatal("usage: bench_e2e [small|large]");

    // Settings and storage of its own, never the user's.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);

    E2eFixture fixture;
    const QString bob = QStringLiteral("bob");
    if (!fixture.startService({QStringLiteral("alice"), bob}, {{QStringLiteral("alice"), bob}}))
        qFatal("%s", qPrintable(fixture.server.errorText()));
    auto aliceClient = fixture.client(QStringLiteral("alice"));
    auto bobClient = fixture.client(bob);
    if (!aliceClient || !bobClient || !bobClient->start() || !aliceClient->start())
        qFatal("the clients did not start");

    Measurement measurement(aliceClient->probe(), bob, {aliceClient->processId(), bobClient->processId()},
                            [&] { return aliceClient->diagnostics() + bobClient->diagnostics(); });
    if (part != "large") {
        roundTrips(measurement, 1, 2000);
        roundTrips(measurement, 4, 1000);
        roundTrips(measurement, 16, 500);
    }
    if (part != "small") {
        largeRecords(measurement, 1, 100);
        largeRecords(measurement, 16, 10);
    }
    return 0;
}
