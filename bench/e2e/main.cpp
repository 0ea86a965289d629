// Request and reply between the plug-ins of two client processes on one
// machine: alice's probe plug-in sends "echo:::ping" to bob, bob's echo
// plug-in answers, alice's probe takes the reply. Measured from the test
// process, which asks alice's probe over its control channel, so each figure
// also holds one loopback round trip of that channel. The baseline is a
// bare TcpConnection pair in this process whose far side answers from its
// transport thread.

#include "E2eFixture.h"

#include <WCryptography.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int kWarmUp = 200;
constexpr int kRoundTrips = 2000;
constexpr int kWaitMs = 10000;

// Hands the accepted socket over as a descriptor, as the client's listening server does.
class DescriptorServer : public QTcpServer
{
public:
    qintptr descriptor = -1;

protected:
    void incomingConnection(qintptr socketDescriptor) override { descriptor = socketDescriptor; }
};

struct Figures
{
    double p50Ms = 0;
    double p99Ms = 0;
    double perSecond = 0;
};

// Runs roundTrip kWarmUp + kRoundTrips times, one after another.
Figures measure(const std::function<bool()> &roundTrip)
{
    for (int i = 0; i < kWarmUp; ++i) {
        if (!roundTrip())
            qFatal("no reply while warming up");
    }
    std::vector<double> samples;
    samples.reserve(kRoundTrips);
    QElapsedTimer total;
    total.start();
    for (int i = 0; i < kRoundTrips; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (!roundTrip())
            qFatal("no reply");
        samples.push_back(clock.nsecsElapsed() / 1e6);
    }
    const double seconds = total.nsecsElapsed() / 1e9;
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100], kRoundTrips / seconds};
}

KvrConfig ping()
{
    return E2eFixture::newRecord(QStringLiteral("echo:::ping"), 64);
}

Figures transportRoundTrips()
{
    const WKeyPair keys = WCryptography::GenerateKeyPair();
    DescriptorServer listener;
    if (!listener.listen(QHostAddress::LocalHost, 0))
        qFatal("baseline cannot listen");
    TcpConnection far;
    far.setKeyPair(keys.publicKey, keys.privateKey);
    QObject::connect(&far, &TcpConnection::signalCommandReceived, &far,
                     [&far](const QString &id, const QString &) { far.pushCommand(far.getCommand(id, 0)); },
                     Qt::DirectConnection);
    TcpConnection near;
    std::thread connecting([&] {
        near.connectToHost(QStringLiteral("127.0.0.1"), QString::number(listener.serverPort()), keys.publicKey);
    });
    if (!listener.waitForNewConnection(kWaitMs))
        qFatal("baseline did not connect");
    far.setSocketDesctiptor(listener.descriptor);
    connecting.join();
    if (!near.isConnected())
        qFatal("baseline key exchange failed");
    return measure([&near] { return !near.sendCommand(ping(), kWaitMs).isEmpty(); });
}

void printFigure(const char *figure, double value, const char *unit, const char *baseline, double baselineValue)
{
    std::printf("%s: %.3f %s | baseline %s: %.3f %s | ratio %.2f\n", figure, value, unit, baseline, baselineValue,
                unit, value / baselineValue);
    std::fflush(stdout);
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
