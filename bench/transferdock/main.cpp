// 1000 and 10 000 transfers from the own disc through the Transfer Manager
// dock: the cost of adding them and the longest the GUI thread's event loop
// stalls while they run and end, each beside the same run without the dock.
// The target is a stall under 100 ms and at most 1.5 times the one without.
// bench_transferdock [count...]: the numbers of transfers to run (1000 and
// 10 000 by default). BENCH_RUNS sets the runs of each (3); every figure is
// their median, the runs with and without the dock taken in turns.

#include "BenchFigures.h"
#include "TestHost.h"

#include <WFtp.h>
#include <uiTransferManager.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kMostTransfers = 10000;
constexpr int kSettleMs = 1000;

struct Run
{
    double addMs = 0;
    double worstGapMs = 0;
};

Run transferAll(WFtp &plugin, int transfers, const QString &target, bool withDock)
{
    QDir().mkpath(target);
    std::unique_ptr<uiTransferManager> dock;
    if (withDock) {
        dock = std::make_unique<uiTransferManager>(plugin.transfers());
        dock->resize(700, 400);
        dock->show();
    }
    TransferManager &manager = plugin.transfers();
    QElapsedTimer adding;
    adding.start();
    for (int i = 0; i < transfers; ++i)
        manager.addTransfer({{QStringLiteral("vls/alice/docs/root/f%1.bin").arg(i), true}}, target,
                            QStringLiteral("vls/alice/docs/root"));
    Run run;
    run.addMs = adding.nsecsElapsed() / BenchFigures::kMillisecond;
    // The longest time between two turns of a 1 ms timer, until every
    // transfer ended and the rows settled.
    QElapsedTimer gap;
    gap.start();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        run.worstGapMs = qMax(run.worstGapMs, gap.nsecsElapsed() / BenchFigures::kMillisecond);
        gap.restart();
    });
    tick.start(1);
    QElapsedTimer settling;
    while (!settling.isValid() || settling.elapsed() < kSettleMs) {
        if (!settling.isValid() && manager.waitForDone(0))
            settling.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    tick.stop();
    manager.clearFinished();
    return run;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int asked = qEnvironmentVariableIntValue("BENCH_RUNS");
    const int runs = asked > 0 ? asked : 3;
    std::vector<int> counts;
    for (const QString &count : app.arguments().mid(1)) {
        if (count.toInt() <= 0 || count.toInt() > kMostTransfers)
            return 2;
        counts.push_back(count.toInt());
    }
    if (counts.empty())
        counts = {1000, kMostTransfers};
    QTemporaryDir root;
    TestNetwork network;
    TestHost alice(QStringLiteral("alice"), &network);
    WFtp plugin;
    alice.setPlugin(&plugin);
    QDir(root.path()).mkpath(QStringLiteral("docs"));
    const int files = *std::max_element(counts.begin(), counts.end());
    for (int i = 0; i < files; ++i) {
        QFile file(root.filePath(QStringLiteral("docs/f%1.bin").arg(i)));
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(1000, 'x')) != 1000)
            return 1;
    }
    plugin.controller().engine()->addSharedDisc(root.filePath(QStringLiteral("docs")), QStringLiteral("docs"));
    plugin.transfers().setMaxTransfers(8);

    for (const int transfers : counts) {
        std::vector<double> plainAdd, dockedAdd, plainGap, dockedGap;
        for (int r = 0; r < runs; ++r) {
            const QString tag = QStringLiteral("%1-%2").arg(transfers).arg(r);
            const Run plain = transferAll(plugin, transfers, root.filePath("plain-" + tag), false);
            const QString docked = root.filePath("docked-" + tag);
            const Run withDock = transferAll(plugin, transfers, docked, true);
            if (QDir(docked).entryList(QDir::Files).size() != transfers)
                return 1;
            plainAdd.push_back(plain.addMs);
            dockedAdd.push_back(withDock.addMs);
            plainGap.push_back(plain.worstGapMs);
            dockedGap.push_back(withDock.worstGapMs);
        }
        const QByteArray adding = QStringLiteral("adding %1 transfers to the dock, median").arg(transfers).toUtf8();
        const QByteArray stall =
            QStringLiteral("longest GUI stall while %1 transfers run in the dock, median").arg(transfers).toUtf8();
        BenchFigures::printFigure(adding.constData(), median(dockedAdd), "ms", "adding them with no dock",
                                  median(plainAdd));
        BenchFigures::printFigure(stall.constData(), median(dockedGap), "ms", "the same with no dock",
                                  median(plainGap));
    }
    alice.setPlugin(nullptr);
    return 0;
}
