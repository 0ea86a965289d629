#pragma once

// One client on this machine: a wivora-headless process with folders of its
// own (data, configuration, temporary: its storage, machine settings and
// single-instance socket), machine settings that point it at the service,
// plug-ins in its "plugins" folder, and the control channel of its probe
// plug-in. Starting it again (after stop() or kill()) starts the same client:
// the folders, and with them the account file and the buffered records, stay.
//
// Its standard output is kept (output()), its diagnostics go to a file in
// its folder (log()); its sanitizer reports fail the running test when it
// ends.

#include "ChildSanitizerReports.h"
#include "ProbeClient.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

class ClientProcess
{
public:
    static constexpr int StartTimeoutMs = 60000;

    static QString program() { return QStringLiteral(WIVORA_HEADLESS_PROGRAM); }

    ClientProcess(const QString &user, const QString &password)
        // Short: the single-instance socket's path must fit a socket address.
        : m_root(QDir::tempPath() + QStringLiteral("/c-XXXXXX"))
        , m_user(user)
        , m_password(password)
    {
        for (const QString &folder : {QStringLiteral("d"), QStringLiteral("c"), QStringLiteral("t")})
            QDir(m_root.path()).mkpath(folder);
    }
    ~ClientProcess() { stop(); }
    ClientProcess(const ClientProcess &) = delete;
    ClientProcess &operator=(const ClientProcess &) = delete;

    QString user() const { return m_user; }
    // The port the account listens on for links ("servers/tcpport").
    quint16 listeningPort() const { return m_listeningPort; }
    void setListeningPort(quint16 port) { m_listeningPort = port; }
    ProbeClient &probe() { return m_probe; }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // The running client's process id; 0 when none runs.
    qint64 processId() const { return m_process.processId(); }
    // Set for the client's next starts (see probe/ProbeProtocol.h for the
    // variables the probe reads).
    void setEnvironment(const QString &name, const QString &value) { m_environment.insert(name, value); }

    // Under the client's storage root (its "wivora" data folder).
    QString storagePath(const QString &relative = QString()) const
    {
        const QString root = m_root.filePath(QStringLiteral("d/wivora"));
        return relative.isEmpty() ? root : root + QLatin1Char('/') + relative;
    }

    void setMachineSetting(const QString &key, const QString &value)
    {
        QSettings settings(m_root.filePath(QStringLiteral("c/wivora/wivoraclient.ini")), QSettings::IniFormat);
        settings.setValue(key, value);
    }

    bool installPlugin(const QString &library)
    {
        const QString plugins = storagePath(QStringLiteral("plugins"));
        const QString target = plugins + QLatin1Char('/') + QFileInfo(library).fileName();
        return QDir().mkpath(plugins) && (QFile::exists(target) || QFile::copy(library, target));
    }

    // Starts the client and waits until it logged in and its probe answers.
    bool start() { return launch() && waitUntilStarted(); }

    // Starts the client process and returns; waitUntilStarted() then waits
    // for the login and the probe.
    bool launch()
    {
        stop();
        const QString portFile = storagePath(ProbeProtocol::PortFileName);
        QFile::remove(portFile);
        m_output.clear();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_root.filePath(QStringLiteral("d")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_root.filePath(QStringLiteral("c")));
        environment.insert(QStringLiteral("TMPDIR"), m_root.filePath(QStringLiteral("t")));
        // The client's own choice of platform, not the tests' "offscreen".
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        // The link layer tells in debug lines which road each link took.
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true"));
        environment.insert(QStringLiteral("WIVORA_USER"), m_user);
        environment.insert(QStringLiteral("WIVORA_PASSWORD"), m_password);
        for (auto variable = m_environment.cbegin(); variable != m_environment.cend(); ++variable)
            environment.insert(variable.key(), variable.value());
        m_process.setProcessEnvironment(m_sanitizerReports.routed(environment));
        m_process.setStandardErrorFile(m_root.filePath(QStringLiteral("client.log")), QIODevice::Append);
        m_process.start(program(), QStringList());
        return m_process.waitForStarted(StartTimeoutMs);
    }

    bool waitUntilStarted()
    {
        const QString portFile = storagePath(ProbeProtocol::PortFileName);
        if (!waitForOutput(QStringLiteral("logged in as"), StartTimeoutMs))
            return false;
        QFile port(portFile);
        return port.open(QIODevice::ReadOnly) && m_probe.connectTo(quint16(port.readAll().toUInt()));
    }

    // SIGTERM, then waits for the end; true when the client logged out and
    // ended cleanly.
    bool stop()
    {
        m_probe.disconnect();
        if (!isRunning()) {
            m_sanitizerReports.check(m_user);
            return true;
        }
        m_process.terminate();
        const bool ended = m_process.waitForFinished(StartTimeoutMs);
        if (!ended) {
            m_process.kill();
            m_process.waitForFinished();
            m_output += QStringLiteral("[did not end: killed]\n");
        }
        m_sanitizerReports.check(m_user);
        if (!ended)
            return false;
        m_output += QString::fromUtf8(m_process.readAllStandardOutput());
        if (m_process.exitStatus() != QProcess::NormalExit)
            m_output += QStringLiteral("[ended by a signal]\n");
        else if (m_process.exitCode() != 0)
            m_output += QStringLiteral("[exit code %1]\n").arg(m_process.exitCode());
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0
            && m_output.contains(QStringLiteral("logged out"));
    }

    // Ends the client at once with SIGKILL, as a crash or a power cut would:
    // no logout, nothing saved on the way out. False when none ran.
    bool kill()
    {
        m_probe.disconnect();
        if (!isRunning())
            return false;
        m_process.kill();
        m_process.waitForFinished(StartTimeoutMs);
        m_output += QString::fromUtf8(m_process.readAllStandardOutput()) + QStringLiteral("[killed]\n");
        return !isRunning();
    }

    // Waits until the client printed a line containing text; false when it
    // ended or the time ran out first.
    bool waitForOutput(const QString &text, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            m_output += QString::fromUtf8(m_process.readAllStandardOutput());
            if (m_output.contains(text))
                return true;
            if (!isRunning()) {
                m_output += QString::fromUtf8(m_process.readAllStandardOutput());
                return m_output.contains(text);
            }
            if (deadline.hasExpired())
                return false;
            m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

    QString output() const { return m_output; }
    QString log() const
    {
        QFile file(m_root.filePath(QStringLiteral("client.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // Both, for the message of a failed check.
    QString diagnostics() const { return m_output + log(); }

private:
    QTemporaryDir m_root;
    ChildSanitizerReports m_sanitizerReports;
    const QString m_user;
    const QString m_password;
    quint16 m_listeningPort = 0;
    QMap<QString, QString> m_environment;
    QProcess m_process;
    QString m_output;
    ProbeClient m_probe;
};
