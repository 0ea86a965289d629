#pragma once

// A real wivora-server process for tests: its own temporary data folder and
// free ports (the server picks them and prints them).
//
//   ServerProcess server;                 // optional: extra server arguments
//   server.addUser("alice", "pw");        // before or after start()
//   server.addContact("alice", "bob");
//   QVERIFY(server.start());              // false with server.errorText() on failure
//   server.host(), server.tcpPort(), server.httpPort()  // "127.0.0.1" and the chosen ports
//                                         // (UDP rendezvous on the same number as tcpPort(),
//                                         // as clients expect: set "service/port" to it)
//   server.publicKey()                    // the server's key, to pin in connectToHost
//   server.publicKeyFile()                // the file that holds it ("service/serverkeyfile")
//   server.dataDir()                      // the data folder (survives restart())
//   server.restart()                      // SIGTERM, wait, start again on the same ports
//   server.stop()                         // also done by the destructor
//
// The program's path comes from the WIVORA_SERVER_PROGRAM definition that
// tests/server/CMakeLists.txt gives every test in that folder. Sanitizer
// reports of the server fail the running test when the server ends.

#include "ChildSanitizerReports.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <memory>
#include <vector>

// How long a test waits for one answer or push of the server.
inline constexpr int ServerWaitMs = 15000;

class ServerProcess
{
public:
    explicit ServerProcess(const QStringList &extraArguments = QStringList())
        : m_extraArguments(extraArguments)
    {
    }
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    static QString program() { return QStringLiteral(WIVORA_SERVER_PROGRAM); }

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 tcpPort() const { return m_tcpPort; }
    quint16 httpPort() const { return m_httpPort; }
    QString dataDir() const { return m_dataDir.path(); }
    QString errorText() const { return m_error; }
    // Everything the server printed since it last started. It goes to a file,
    // so the server never waits for a test that is not reading.
    QString output() const
    {
        QFile log(m_logDir.filePath(QStringLiteral("server.log")));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }
    bool isRunning() const { return m_process && m_process->state() == QProcess::Running; }
    // The running server's process id (0 when none), e.g. to freeze it with SIGSTOP.
    qint64 processId() const { return m_process ? m_process->processId() : 0; }

    QString publicKeyFile() const { return QDir(dataDir()).filePath(QStringLiteral("server_public.pem")); }
    QString publicKey() const
    {
        QFile file(publicKeyFile());
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
    }

    // Runs an administration command on the same data folder.
    bool admin(const QStringList &arguments, QString *output = nullptr)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setProcessEnvironment(m_sanitizerReports.routed(QProcessEnvironment::systemEnvironment()));
        process.start(program(), QStringList{QStringLiteral("--data"), dataDir()} + arguments);
        const bool finished = process.waitForFinished(60000);
        if (!finished) {
            process.kill();
            process.waitForFinished();
        }
        m_sanitizerReports.check(QStringLiteral("wivora-server ") + arguments.join(QLatin1Char(' ')));
        if (!finished)
            return false;
        if (output)
            *output = QString::fromUtf8(process.readAll());
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    bool addUser(const QString &name, const QString &password)
    {
        return admin({QStringLiteral("adduser"), name, password});
    }
    // Many users at once: each takes a key pair and password work, so several
    // are made side by side (the store takes their writes one at a time).
    bool addUsers(const QList<QPair<QString, QString>> &namesAndPasswords)
    {
        if (namesAndPasswords.isEmpty())
            return true;
        // The first makes the store alone.
        if (!addUser(namesAndPasswords.first().first, namesAndPasswords.first().second))
            return false;
        const int atOnce = qMax(2, QThread::idealThreadCount());
        for (int next = 1; next < namesAndPasswords.size(); next += atOnce) {
            std::vector<std::unique_ptr<QProcess>> batch;
            for (int i = next; i < qMin(next + atOnce, namesAndPasswords.size()); ++i) {
                batch.push_back(std::make_unique<QProcess>());
                batch.back()->setProcessEnvironment(m_sanitizerReports.routed(QProcessEnvironment::systemEnvironment()));
                batch.back()->start(program(), {QStringLiteral("--data"), dataDir(), QStringLiteral("adduser"),
                                                namesAndPasswords.at(i).first, namesAndPasswords.at(i).second});
            }
            bool ok = true;
            for (const auto &process : batch) {
                ok = process->waitForFinished(60000) && process->exitStatus() == QProcess::NormalExit
                     && process->exitCode() == 0 && ok;
            }
            m_sanitizerReports.check(QStringLiteral("wivora-server adduser"));
            if (!ok)
                return false;
        }
        return true;
    }
    bool addContact(const QString &first, const QString &second)
    {
        return admin({QStringLiteral("addcontact"), first, second});
    }

    // Starts the server and waits until it listens on TCP (and HTTP when built with it).
    bool start(int timeoutMs = 30000)
    {
        // Another program may take the chosen number between the check and the start.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (m_tcpPort == 0)
                m_tcpPort = m_udpPort = freePortForTcpAndUdp();
            if (startOnce(timeoutMs))
                return true;
            if (m_fixedPorts)
                return false;
            m_tcpPort = m_udpPort = 0;
        }
        return false;
    }

    // SIGTERM, then waits for the process to end; true when it ended cleanly.
    bool stop() { return stopProcess(); }

    bool restart() { return stop() && start(); }

private:
    static quint16 freePortForTcpAndUdp()
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            QTcpServer tcp;
            QUdpSocket udp;
            if (tcp.listen(QHostAddress::LocalHost, 0) && udp.bind(QHostAddress::LocalHost, tcp.serverPort()))
                return tcp.serverPort();
        }
        return 0;
    }

    bool startOnce(int timeoutMs)
    {
        stopProcess();
        m_process.reset(new QProcess);
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->setStandardOutputFile(m_logDir.filePath(QStringLiteral("server.log")), QIODevice::Truncate);
        m_process->setProcessEnvironment(m_sanitizerReports.routed(QProcessEnvironment::systemEnvironment()));
        QStringList arguments{QStringLiteral("--data"), dataDir(), QStringLiteral("--host"), host(),
                              QStringLiteral("--port"), QString::number(m_tcpPort),
                              QStringLiteral("--udp-port"), QString::number(m_udpPort),
                              QStringLiteral("--http-port"), QString::number(m_httpPort)};
        m_process->start(program(), arguments + m_extraArguments);
        if (!m_process->waitForStarted(timeoutMs))
            return fail(QStringLiteral("cannot start %1").arg(program()));
        static const QRegularExpression listening(QStringLiteral("^listening (\\w+) [^\\s]+:(\\d+)$"),
                                                  QRegularExpression::MultilineOption);
        QDeadlineTimer deadline(timeoutMs);
        QString printed;
        while (!printed.contains(QStringLiteral("listening tcp"))) {
            // Also the pause between looks at the file.
            if (m_process->waitForFinished(10) || deadline.hasExpired())
                return fail(QStringLiteral("the server did not start: %1").arg(output()));
            printed = output();
            auto matches = listening.globalMatch(printed);
            while (matches.hasNext()) {
                const auto match = matches.next();
                const quint16 port = quint16(match.captured(2).toUInt());
                if (match.captured(1) == QLatin1String("tcp"))
                    m_tcpPort = port;
                else if (match.captured(1) == QLatin1String("http"))
                    m_httpPort = port;
                else if (match.captured(1) == QLatin1String("udp"))
                    m_udpPort = port;
            }
        }
        m_fixedPorts = true; // a restart comes back on the same ports
        return true;
    }

    bool stopProcess()
    {
        if (!m_process)
            return true;
        bool clean = true;
        if (m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(15000)) {
                m_process->kill();
                m_process->waitForFinished();
                clean = false;
            }
        }
        m_sanitizerReports.check(QStringLiteral("wivora-server"));
        clean = clean && m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
        m_process.reset();
        return clean;
    }

    bool fail(const QString &message)
    {
        m_error = message;
        return false;
    }

    QStringList m_extraArguments;
    QTemporaryDir m_dataDir;
    ChildSanitizerReports m_sanitizerReports;
    QScopedPointer<QProcess> m_process;
    QTemporaryDir m_logDir;
    QString m_error;
    quint16 m_tcpPort = 0;
    quint16 m_udpPort = 0;
    quint16 m_httpPort = 0;
    bool m_fixedPorts = false;
};
