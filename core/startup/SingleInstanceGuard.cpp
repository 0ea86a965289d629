#include "SingleInstanceGuard.h"

#include <QElapsedTimer>
#include <QLocalSocket>

const QString SingleInstanceGuard::ServerName = QStringLiteral("wivora");
const QByteArray SingleInstanceGuard::WakeUpRequest = QByteArrayLiteral("wivorawakeup");
const QByteArray SingleInstanceGuard::RunningAnswer = QByteArrayLiteral("isrunning");

bool SingleInstanceGuard::wakeRunningCopy(const QString &serverName)
{
    QLocalSocket socket;
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    if (!socket.waitForConnected(ConnectTimeoutMs))
        return false;

    bool running = false;
    socket.write(WakeUpRequest);
    if (socket.waitForBytesWritten(WriteTimeoutMs)) {
        QElapsedTimer elapsed;
        elapsed.start();
        while (socket.bytesAvailable() < RunningAnswer.size() && elapsed.elapsed() < AnswerTimeoutMs) {
            if (!socket.waitForReadyRead(int(AnswerTimeoutMs - elapsed.elapsed())))
                break;
        }
        running = socket.bytesAvailable() > 0 && socket.readAll() == RunningAnswer;
    }
    socket.abort();
    return running;
}
