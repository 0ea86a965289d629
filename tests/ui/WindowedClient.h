#pragma once

// One windowed client on this machine: a Wivora process with folders of its
// own (data, configuration, temporary: storage, machine settings and the
// single-instance socket), machine settings that point it at the service,
// and, when given, remembered credentials so that it logs in by itself.
//
//   WindowedClient alice;                        // offscreen; "xcb" to use $DISPLAY
//   alice.setMachineSettings(fixture.serviceSettings());
//   alice.rememberLogin("alice", password);
//   QVERIFY2(alice.start(), qPrintable(alice.diagnostics()));   // waits for "logged in as"
//   QVERIFY2(alice.stop(), ...);                 // SIGTERM: logged out, exit code 0
//
// The program prints "logged in as NAME" and "logged out" on standard output;
// its diagnostics go to client.log in its folder.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <signal.h>

class WindowedClient
{
public:
    static constexpr int StartTimeoutMs = 60000;

    static QString program() { return QStringLiteral(WIVORA_PROGRAM); }

    explicit WindowedClient(const QString &platform = QStringLiteral("offscreen"))
        // Short: the single-instance socket's path must fit a socket address.
        : m_root(QDir::tempPath() + QStringLiteral("/w-XXXXXX"))
        , m_platform(platform)
    {
        for (const QString &folder : {QStringLiteral("d"), QStringLiteral("c"), QStringLiteral("t")})
            QDir(m_root.path()).mkpath(folder);
    }
    ~WindowedClient()
    {
        if (isRunning()) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    WindowedClient(const WindowedClient &) = delete;
    WindowedClient &operator=(const WindowedClient &) = delete;

    QString settingsFile() const { return m_root.filePath(QStringLiteral("c/wivora/wivoraclient.ini")); }
    QString storagePath() const { return m_root.filePath(QStringLiteral("d/wivora")); }
    // The program's temporary folder (its TMPDIR).
    QString tempFolder() const { return m_root.filePath(QStringLiteral("t")); }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_process.processId(); }

    void setMachineSettings(const QMap<QString, QString> &settings)
    {
        QSettings file(settingsFile(), QSettings::IniFormat);
        for (auto setting = settings.cbegin(); setting != settings.cend(); ++setting)
            file.setValue(setting.key(), setting.value());
    }
    void setMachineSetting(const QString &key, const QVariant &value)
    {
        QSettings(settingsFile(), QSettings::IniFormat).setValue(key, value);
    }
    QVariant machineSetting(const QString &key) const
    {
        return QSettings(settingsFile(), QSettings::IniFormat).value(key);
    }
    void rememberLogin(const QString &user, const QString &password)
    {
        setMachineSettings({{QStringLiteral("settings/rememberMe"), QStringLiteral("true")},
                            {QStringLiteral("settings/username"), user},
                            {QStringLiteral("settings/password"), password}});
    }
    bool installPlugin(const QString &library)
    {
        const QString target = storagePath() + QStringLiteral("/plugins/") + QFileInfo(library).fileName();
        return QDir().mkpath(QFileInfo(target).path()) && (QFile::exists(target) || QFile::copy(library, target));
    }

    // Starts the program; with expectLogin, waits until it logged in.
    bool start(bool expectLogin = true)
    {
        m_output.clear();
        m_process.setProcessEnvironment(environment());
        m_process.setStandardErrorFile(m_root.filePath(QStringLiteral("client.log")), QIODevice::Append);
        m_process.start(program(), QStringList());
        if (!m_process.waitForStarted(StartTimeoutMs))
            return false;
        return expectLogin ? waitForOutput(QStringLiteral("logged in as"), StartTimeoutMs) : waitForWakeUpSocket();
    }

    // Starts the program once more with the same folders, as a user would,
    // and waits for that second process to end; its exit code, or -1 when it
    // ran on or crashed.
    int startAgain(int timeoutMs)
    {
        QProcess second;
        second.setProcessEnvironment(environment());
        second.start(program(), QStringList());
        if (!second.waitForFinished(timeoutMs)) {
            second.kill();
            second.waitForFinished();
            return -1;
        }
        return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
    }

    // Sends the signal (SIGTERM by default) and waits for the end; true when
    // the client logged out and ended with exit code 0.
    bool stop(int signalNumber = SIGTERM)
    {
        if (!isRunning())
            return false;
        ::kill(pid_t(m_process.processId()), signalNumber);
        if (!m_process.waitForFinished(StartTimeoutMs)) {
            m_process.kill();
            m_process.waitForFinished();
            m_output += QStringLiteral("[did not end: killed]\n");
            return false;
        }
        m_output += QString::fromUtf8(m_process.readAllStandardOutput());
        if (m_process.exitStatus() != QProcess::NormalExit)
            m_output += QStringLiteral("[ended by a signal]\n");
        else if (m_process.exitCode() != 0)
            m_output += QStringLiteral("[exit code %1]\n").arg(m_process.exitCode());
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0
            && m_output.contains(QStringLiteral("logged out"));
    }

    bool waitForOutput(const QString &text, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            m_output += QString::fromUtf8(m_process.readAllStandardOutput());
            if (m_output.contains(text))
                return true;
            if (!isRunning() || deadline.hasExpired())
                return false;
            m_process.waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 200)));
        }
    }

    QString output() const { return m_output; }
    QString diagnostics() const
    {
        QFile log(m_root.filePath(QStringLiteral("client.log")));
        return m_output + (log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString());
    }

private:
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_root.filePath(QStringLiteral("d")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_root.filePath(QStringLiteral("c")));
        environment.insert(QStringLiteral("TMPDIR"), m_root.filePath(QStringLiteral("t")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), m_platform);
        // The remembered password goes to the private file, never to the
        // keyring of whoever runs the tests.
        environment.insert(QStringLiteral("WIVORA_NO_KEYRING"), QStringLiteral("1"));
        return environment;
    }

    // Logged out, the program says nothing: it is up once it listens for
    // later starts.
    bool waitForWakeUpSocket()
    {
        const QString socket = m_root.filePath(QStringLiteral("t/wivora"));
        const QDeadlineTimer deadline(StartTimeoutMs);
        while (!QFile::exists(socket)) {
            if (!isRunning() || deadline.hasExpired())
                return false;
            m_process.waitForFinished(50);
        }
        return true;
    }

    QTemporaryDir m_root;
    const QString m_platform;
    QProcess m_process;
    QString m_output;
};
