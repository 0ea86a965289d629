// Request and reply between the plug-ins of two client processes on one
// machine: alice's probe plug-in sends "echo:::ping" to bob, bob's echo
// plug-in answers, alice's probe takes the reply. Measured from the test
// process, which asks alice's probe over its control channel, so each figure
// also holds one loopback round trip of that channel. The baseline is a
// bare TcpConnection pair in this process whose far side answers from its
// transport thread.

#include "BenchFigures.h"
#include "E2eFixture.h"
#include "TransportBaseline.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <functional>
#include <numeric>
#include <vector>

namespace {

constexpr int kWarmUp = 200;
constexpr int kRoundTrips = 2000;
constexpr int kWaitMs = 10000;

struct Figures
{
    double p50Ms = 0;
    double p99Ms = 0;
    double perSecond = 0;
};

// Runs roundTrip kWarmUp + kRoundTrips times, one after another.
Figures measure(const std::function<bool()> &roundTrip)
{
    const std::vector<qint64> samples = BenchFigures::timedRuns(kWarmUp, kRoundTrips, roundTrip);
    if (samples.empty())
        qFatal("no reply");
    const BenchFigures::Percentiles ms = BenchFigures::percentiles(samples, BenchFigures::kMillisecond);
    const double seconds = double(std::accumulate(samples.begin(), samples.end(), qint64(0))) / 1e9;
    return {ms.p50, ms.p99, kRoundTrips / seconds};
}

KvrConfig ping()
{
    return E2eFixture::newRecord(QStringLiteral("echo:::ping"), 64);
}

Figures transportRoundTrips()
{
    TransportBaseline baseline;
    if (!baseline.start(kWaitMs))
        qFatal("baseline did not connect");
    TcpConnection &link = baseline.connection();
    return measure([&link] { return !link.sendCommand(ping(), kWaitMs).isEmpty(); });
}

// Milliseconds are printed to the microsecond.
void printFigure(const char *figure, double value, const char *unit, const char *baseline, double baselineValue)
{
    BenchFigures::printFigure(figure, value, unit, baseline, baselineValue, 3);
}

} // namespace

int main(int argc, char **argv)
{
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
    ProbeClient &alice = aliceClient->probe();

    const Figures baseline = transportRoundTrips();
    const Figures road =
        measure([&alice, &bob] { return !alice.request(bob, ping(), false, QString(), kWaitMs).isEmpty(); });

    printFigure("plug-in request round trip p50", road.p50Ms, "ms", "TcpConnection round trip p50", baseline.p50Ms);
    printFigure("plug-in request round trip p99", road.p99Ms, "ms", "TcpConnection round trip p99", baseline.p99Ms);
    printFigure("plug-in requests per second, one requester", road.perSecond, "req/s",
                "TcpConnection round trips per second", baseline.perSecond);
    return 0;
}
