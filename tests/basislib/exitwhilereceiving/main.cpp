// A helper program that connects to a far side sending frames without pause
// and exits while they keep arriving: the process must end cleanly, however
// its exit meets the transports' I/O thread.
//
//   exit_while_receiving PORT PUBLIC_KEY_FILE DELAY_MS

#include <TcpConnection.h>

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {
// Left alive on purpose: its frames are still being opened when exit() runs
// the clean-ups. Held here rather than on main's stack, so the leak check
// always finds it reachable and reports only what the exit itself loses.
TcpConnection *liveLink = nullptr;
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 4)
        return 2;
    QFile keyFile(QString::fromLocal8Bit(argv[2]));
    if (!keyFile.open(QIODevice::ReadOnly))
        return 2;
    liveLink = new TcpConnection;
    if (!liveLink->connectToHost(QStringLiteral("127.0.0.1"), QString::fromLatin1(argv[1]),
                             QString::fromLatin1(keyFile.readAll())))
        return 3;
    QThread::msleep(ulong(atoi(argv[3])));
    std::fflush(stdout);
    std::exit(0);
}
