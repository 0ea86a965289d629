// 1000 transfers from the own disc through the Transfer Manager dock: the
// cost of adding them and the longest the GUI thread's event loop stalls
// while they run and end, each beside the same run without the dock. The
// target is a stall under 100 ms.

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

#include <cstdio>
#include <memory>

namespace {

constexpr int kTransfers = 1000;
constexpr int kSettleMs = 1000;

struct Run
{
    double addMs = 0;
    double worstGapMs = 0;
};

Run transferAll(WFtp &plugin, const QString &target, bool withDock)
{
    std::unique_ptr<uiTransferManager> dock;
    if (withDock) {
        dock = std::make_unique<uiTransferManager>(plugin.transfers());
        dock->resize(700, 400);
        dock->show();
    }
    TransferManager &manager = plugin.transfers();
    QElapsedTimer adding;
    adding.start();
    for (int i = 0; i < kTransfers; ++i)
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
    while (!manager.waitForDone(0) || settling.isValid() == false || settling.elapsed() < kSettleMs) {
        // With the dock, also until it has made every row.
        if (!settling.isValid() && manager.waitForDone(0) && (!dock || dock->row(kTransfers - 1)))
            settling.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    manager.clearFinished();
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir root;
    TestNetwork network;
    TestHost alice(QStringLiteral("alice"), &network);
    WFtp plugin;
    alice.setPlugin(&plugin);
    for (const char *folder : {"docs", "plain", "docked"})
        QDir(root.path()).mkpath(QLatin1String(folder));
    for (int i = 0; i < kTransfers; ++i) {
        QFile file(root.filePath(QStringLiteral("docs/f%1.bin").arg(i)));
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(1000, 'x')) != 1000)
            return 1;
    }
    plugin.controller().engine()->addSharedDisc(root.filePath(QStringLiteral("docs")), QStringLiteral("docs"));
    plugin.transfers().setMaxTransfers(8);

    const Run plain = transferAll(plugin, root.filePath(QStringLiteral("plain")), false);
    const Run docked = transferAll(plugin, root.filePath(QStringLiteral("docked")), true);
    if (QDir(root.filePath(QStringLiteral("docked"))).entryList(QDir::Files).size() != kTransfers)
        return 1;
    BenchFigures::printFigure("adding 1000 transfers to the dock", docked.addMs, "ms", "adding them with no dock",
                              plain.addMs);
    BenchFigures::printFigure("longest GUI stall while 1000 transfers run in the dock", docked.worstGapMs, "ms",
                              "the same with no dock", plain.worstGapMs);
    alice.setPlugin(nullptr);
    return 0;
}
