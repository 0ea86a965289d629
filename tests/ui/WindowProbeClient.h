#pragma once

// The test's end of the window-probe plug-in's command socket in one
// windowed client (windowprobe/WindowDriver.h lists the commands).

#include "WindowedClient.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QTest>

#include <functional>

class WindowProbeClient
{
public:
    static constexpr int AnswerTimeoutMs = 60000;

    explicit WindowProbeClient(const WindowedClient &client)
        : m_path(client.tempFolder() + QStringLiteral("/windowprobe"))
    {
    }

    QString ask(const QString &line)
    {
        if (m_socket.state() != QLocalSocket::ConnectedState) {
            m_socket.connectToServer(m_path);
            if (!m_socket.waitForConnected(AnswerTimeoutMs))
                return QStringLiteral("[no connection]");
        }
        m_socket.write(line.toUtf8() + '\n');
        m_socket.flush();
        const QDeadlineTimer deadline(AnswerTimeoutMs);
        while (!m_socket.canReadLine() && !deadline.hasExpired())
            m_socket.waitForReadyRead(100);
        return m_socket.canReadLine() ? QString::fromUtf8(m_socket.readLine()).trimmed() : QStringLiteral("[no answer]");
    }
    // Asks until the answer is as expected or the time is up; the last answer.
    QString waitFor(const QString &line, const std::function<bool(const QString &)> &expected,
                    int timeoutMs = AnswerTimeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        QString answer;
        while (!expected(answer = ask(line)) && !deadline.hasExpired())
            QTest::qWait(100);
        return answer;
    }

private:
    const QString m_path;
    QLocalSocket m_socket;
};

