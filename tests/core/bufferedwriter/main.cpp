// Opens the buffered-commands store in the folder given as first argument and
// makes changes to it, step after step: each step adds a record for "bob"
// ("ID" "r<step>", a few KiB) and, once five wait, marks the oldest as
// delivered, so that the journal is folded every few hundred steps. After a step is written it prints the step's number on a line of
// its own. With a second argument it stops after that many steps; otherwise
// it goes on until it is killed.

#include "BufferedCommandsStore.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString folder = app.arguments().value(1);
    const int steps = app.arguments().value(2).toInt();
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return 2;
    const QString bob = QStringLiteral("bob");
    BufferedCommandsStore store(QStringLiteral("bufferedcommands.bff"));
    BufferedCommandsStore::Queues queues = store.open(folder);
    for (int step = 0; steps <= 0 || step < steps; ++step) {
        KvrConfig record;
        record.sv(QStringLiteral("ID"), QStringLiteral("r%1").arg(step));
        record.sv(QStringLiteral("command"), QStringLiteral("wmail:::new"));
        record.SetValue(QStringLiteral("data"), QByteArray(1024 + (step % 7) * 512, char('a' + step % 26)));
        queues[bob].append(record);
        if (!store.recordAdded(bob, record))
            return 3;
        if (queues[bob].size() > 5) {
            const KvrConfig head = queues[bob].takeFirst();
            if (!store.recordDelivered(bob, head, queues))
                return 4;
        }
        std::printf("%d\n", step);
        std::fflush(stdout);
    }
    return 0;
}
