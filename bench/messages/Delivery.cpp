#include "Delivery.h"

#include "BenchFigures.h"
#include "E2eFixture.h"
#include "WMailConversation.h"

#include <QElapsedTimer>
#include <QThread>

#include <cstdio>

namespace {

constexpr int kWarmUp = 20;
constexpr int kMessages = 300;
constexpr int kWaitMs = 10000;

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");

// Sends 1 KiB of text from alice to bob and waits until bob's conversation
// file lists it; false when it does not come.
bool deliverOne(ClientProcess &alice, const QString &bobFolder)
{
    KvrConfig request;
    request.sv(QStringLiteral("user"), kBob);
    request.SetValue(QStringLiteral("data"), QByteArray(1024, 't'));
    const QString id = alice.probe().invoke(QStringLiteral("WMail"), QStringLiteral("sendMessage"), request).gv(
        QStringLiteral("id"));
    if (id.isEmpty())
        return false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kWaitMs) {
        WMailConversation filed(bobFolder, kAlice);
        if (filed.loadHeader() && filed.messageIds().contains(id))
            return true;
        QThread::usleep(100);
    }
    return false;
}

} // namespace

bool measureDelivery()
{
    E2eFixture fixture;
    if (!fixture.startService({kAlice, kBob}, {{kAlice, kBob}}))
        return false;
    auto alice = fixture.client(kAlice);
    auto bob = fixture.client(kBob);
    const QString wmail = QStringLiteral(WIVORA_WMAIL_PLUGIN);
    if (!alice || !bob || !alice->installPlugin(wmail) || !bob->installPlugin(wmail) || !bob->start()
        || !alice->start())
        return false;
    const QString bobFolder = bob->storagePath(QStringLiteral("pluginsstorage/bob/wmail"));

    const std::vector<qint64> deliveries =
        BenchFigures::timedRuns(kWarmUp, kMessages, [&] { return deliverOne(*alice, bobFolder); });
    const std::vector<qint64> roundTrips = BenchFigures::timedRuns(kWarmUp, kMessages, [&] {
        const KvrConfig ping = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 1024);
        return !alice->probe().request(kBob, ping, false, QString(), kWaitMs).isEmpty();
    });
    if (deliveries.size() != size_t(kMessages) || roundTrips.size() != size_t(kMessages))
        return false;
    const auto delivery = BenchFigures::percentiles(deliveries, BenchFigures::kMillisecond);
    const auto roundTrip = BenchFigures::percentiles(roundTrips, BenchFigures::kMillisecond);
    BenchFigures::printFigure("1 KiB message alice->bob, send to filing p50", delivery.p50, "ms",
                              "1 KiB request round trip p50", roundTrip.p50, 3);
    BenchFigures::printFigure("1 KiB message alice->bob, send to filing p99", delivery.p99, "ms",
                              "1 KiB request round trip p99", roundTrip.p99, 3);
    return true;
}
