// Round trip of an "echo:::" request and its ":callback" reply between two
// clients' link layers (output list, link manager, direct link, incoming
// filter, input list, and back), beside a plain TcpConnection round trip
// measured in the same run.

#include "LinkTestClient.h"

#include <WCryptography.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kWarmUp = 200;
constexpr int kRoundTrips = 3000;
constexpr int kWaitMs = 10000;

// Hands the accepted socket over as a descriptor, as WTcpServer does.
class DescriptorServer : public QTcpServer
{
public:
    qintptr descriptor = -1;

protected:
    void incomingConnection(qintptr socketDescriptor) override { descriptor = socketDescriptor; }
};

struct Percentiles
{
    double p50 = 0;
    double p99 = 0;
};

Percentiles percentiles(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

KvrConfig request()
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), QStringLiteral("echo:::request"));
    record.SetValue(QStringLiteral("data"), QByteArray(64, 'r'));
    return record;
}

// Answers every request that enters the client's input list at once, as the
// plug-in that owns the prefix would: the reply leaves on the request's link.
void answerRequests(LinkTestClient &client)
{
    QObject::connect(&client.commands, &IOCommandsTower::signalInputCommandReceived, &client.commands,
                     [&client](const QString &id, const QString &) {
                         const KvrConfig asked = client.commands.takeInputCommand(id);
                         KvrConfig reply;
                         reply.SetValue(QStringLiteral("ID"), asked.GetValue(QStringLiteral("ID")));
                         reply.sv(QStringLiteral("command"), asked.gv(QStringLiteral("command")) + QStringLiteral(":callback"));
                         client.commands.putOutputCommand(reply, asked.gv(QStringLiteral("Wivora::sender")), false,
                                                          asked.gv(QStringLiteral("Wivora::connectionID")));
                     },
                     Qt::DirectConnection);
}

Percentiles roadRoundTrips(LinkTestClient &asker, const QString &receiver)
{
    std::vector<double> samples;
    for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
        QElapsedTimer clock;
        clock.start();
        const QString id = asker.send(request(), receiver);
        if (asker.received(id, kWaitMs).isEmpty())
            qFatal("no reply on the road");
        if (i >= kWarmUp)
            samples.push_back(clock.nsecsElapsed() / 1000.0);
    }
    return percentiles(samples);
}

// The same exchange on a bare TcpConnection pair whose far side answers from
// its transport thread.
Percentiles transportRoundTrips()
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

    std::vector<double> samples;
    for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (near.sendCommand(request(), kWaitMs).isEmpty())
            qFatal("no baseline reply");
        if (i >= kWarmUp)
            samples.push_back(clock.nsecsElapsed() / 1000.0);
    }
    return percentiles(samples);
}

void printFigure(const char *figure, double value, const char *baseline, double baselineValue)
{
    std::printf("%s: %.1f us | baseline %s: %.1f us | ratio %.2f\n", figure, value, baseline, baselineValue,
                value / baselineValue);
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

    ClientSessionFixture fixture;
    if (!fixture.start({QStringLiteral("alice"), QStringLiteral("bob")}))
        qFatal("%s", qPrintable(fixture.server.errorText()));
    LinkTestClient bob;
    LinkTestClient alice;
    if (!bob.start(fixture, QStringLiteral("bob")) || !alice.start(fixture, QStringLiteral("alice")))
        qFatal("clients did not start");
    answerRequests(bob);
    if (alice.connections->getOrCreateConnection(QStringLiteral("bob"), false, false).isEmpty())
        qFatal("no direct link");

    const Percentiles baseline = transportRoundTrips();
    const Percentiles road = roadRoundTrips(alice, QStringLiteral("bob"));
    printFigure("echo request round trip p50", road.p50, "TcpConnection sendCommand p50", baseline.p50);
    printFigure("echo request round trip p99", road.p99, "TcpConnection sendCommand p99", baseline.p99);
    return 0;
}
