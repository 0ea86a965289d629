// Round trip of an "echo:::" request and its ":callback" reply between two
// clients' link layers (output list, link manager, direct link, incoming
// filter, input list, and back), and delivery of a buffered 1 KiB record,
// each beside a plain TcpConnection round trip measured in the same run.

#include "BenchFigures.h"
#include "BufferedDelivery.h"
#include "LinkTestClient.h"
#include "TransportBaseline.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <functional>
#include <vector>

using BenchFigures::Percentiles;

namespace {

constexpr int kWarmUp = 200;
constexpr int kRoundTrips = 3000;
constexpr int kWaitMs = 10000;

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

// Times kRoundTrips calls of roundTrip after kWarmUp, in microseconds.
Percentiles measure(const char *road, const std::function<bool()> &roundTrip)
{
    const std::vector<qint64> samples = BenchFigures::timedRuns(kWarmUp, kRoundTrips, roundTrip);
    if (samples.empty())
        qFatal("no reply on the %s", road);
    return BenchFigures::percentiles(samples, BenchFigures::kMicrosecond);
}

Percentiles roadRoundTrips(LinkTestClient &asker, const QString &receiver)
{
    return measure("road", [&] { return !asker.received(asker.send(request(), receiver), kWaitMs).isEmpty(); });
}

// The same exchange on a bare TcpConnection pair.
Percentiles transportRoundTrips()
{
    TransportBaseline baseline;
    if (!baseline.start(kWaitMs))
        qFatal("baseline did not connect");
    TcpConnection &link = baseline.connection();
    return measure("baseline", [&link] { return !link.sendCommand(request(), kWaitMs).isEmpty(); });
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
    BenchFigures::printFigure("echo request round trip p50", road.p50, "us", "TcpConnection sendCommand p50",
                              baseline.p50);
    BenchFigures::printFigure("echo request round trip p99", road.p99, "us", "TcpConnection sendCommand p99",
                              baseline.p99);

    const BufferedDelivery buffered = measureBufferedDelivery();
    BenchFigures::printFigure("buffered 1 KiB record delivery p50", buffered.delivery.p50, "us",
                              "TcpConnection round trip p50", buffered.roundTrip.p50);
    BenchFigures::printFigure("buffered 1 KiB record delivery p99", buffered.delivery.p99, "us",
                              "TcpConnection round trip p99", buffered.roundTrip.p99);
    return 0;
}
