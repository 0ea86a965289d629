// Start-up of the real program and of a crashing helper, each process with
// its own temporary, configuration and data folders as a separate client on
// this machine has: the single-instance check between two starts, a socket
// file left by a killed copy, crash reports, and their upload at the next
// start to a real wivora-server.

#include "QtTestSuite.h"
#include "SingleInstanceGuard.h"

#include "ChildSanitizerReports.h"
#include "ServerProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

constexpr int StartTimeoutMs = 30000;

// The folders of one client: processes started with the same folders are
// the same client.
class ClientFolders
{
public:
    // Short names: the socket path must fit a local socket address.
    ClientFolders() : m_root(QDir::tempPath() + QStringLiteral("/c-XXXXXX"))
    {
        for (const QString &sub : {QStringLiteral("t"), QStringLiteral("c"), QStringLiteral("d")})
            QDir(m_root.path()).mkdir(sub);
    }
    // Its processes ended (they are declared after it): their reports fail the test.
    ~ClientFolders() { m_sanitizerReports.check(QStringLiteral("a client process")); }
    QString socketPath() const { return m_root.filePath(QStringLiteral("t/wivora")); }
    QString dumpsFolder() const { return m_root.filePath(QStringLiteral("c/wivora/dumps")); }
    QStringList dumps() const { return QDir(dumpsFolder()).entryList({QStringLiteral("*.dmp")}, QDir::Files); }
    QString settingsFile() const { return m_root.filePath(QStringLiteral("c/wivora/wivoraclient.ini")); }

    void setMachineSetting(const QString &key, const QString &value) const
    {
        QSettings(settingsFile(), QSettings::IniFormat).setValue(key, value);
    }
    QString machineSetting(const QString &key) const
    {
        return QSettings(settingsFile(), QSettings::IniFormat).value(key).toString();
    }

    // loggingRules: QT_LOGGING_RULES of the process; none when empty.
    void start(QProcess &process, const QString &program, const QStringList &arguments = {},
               const QString &loggingRules = QString()) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_LOGGING_RULES"));
        if (!loggingRules.isEmpty())
            environment.insert(QStringLiteral("QT_LOGGING_RULES"), loggingRules);
        environment.insert(QStringLiteral("TMPDIR"), m_root.filePath(QStringLiteral("t")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_root.filePath(QStringLiteral("c")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_root.filePath(QStringLiteral("d")));
        // These processes show nothing; unlike "offscreen", the "minimal"
        // platform of this Qt frees its screen at exit, so a leak checker
        // sees the program's own leaks only.
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("minimal"));
        process.setProcessEnvironment(m_sanitizerReports.routed(environment));
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
    }

    // True when a copy of the program with these folders answers a starter.
    bool copyAnswers() const { return SingleInstanceGuard::wakeRunningCopy(socketPath()); }
    // Waits until a copy that is starting answers; true when it does.
    bool waitUntilCopyAnswers() const
    {
        return QTest::qWaitFor([this] { return copyAnswers(); }, StartTimeoutMs);
    }

private:
    QTemporaryDir m_root;
    ChildSanitizerReports m_sanitizerReports;
};

// A process that does not outlive its test.
class ChildProcess : public QProcess
{
public:
    ~ChildProcess() override
    {
        if (state() != NotRunning) {
            kill();
            waitForFinished();
        }
    }
};

// Collects a process's output as it comes.
class OutputLog : public QObject
{
public:
    explicit OutputLog(QProcess &process)
    {
        connect(&process, &QProcess::readyRead, this, [this, &process] { m_text += process.readAll(); });
    }
    int count(const QByteArray &line) const { return m_text.count(line); }

private:
    QByteArray m_text;
};

const QByteArray WakeUpLogLine = "wake-up request answered";

} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void secondStartWakesTheRunningCopy()
    {
        ClientFolders folders;
        ChildProcess first;
        OutputLog firstLog(first);
        // Its debug lines tell when it answered.
        folders.start(first, QStringLiteral(WIVORA_CLIENT_PROGRAM), {QStringLiteral("--verbose")});
        QVERIFY(folders.waitUntilCopyAnswers());
        QTRY_VERIFY(firstLog.count(WakeUpLogLine) > 0);
        const int answeredBefore = firstLog.count(WakeUpLogLine);

        ChildProcess second;
        folders.start(second, QStringLiteral(WIVORA_CLIENT_PROGRAM));
        QVERIFY(second.waitForFinished(StartTimeoutMs));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_COMPARE(firstLog.count(WakeUpLogLine), answeredBefore + 1);

        // The running copy still holds the name.
        QCOMPARE(first.state(), QProcess::Running);
        QVERIFY(folders.copyAnswers());
    }

    void debugLinesOnlyWhenAsked_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("loggingRules");
        QTest::addColumn<bool>("printed");

        QTest::newRow("by default: none") << QStringList() << QString() << false;
        QTest::newRow("--verbose") << QStringList{"--verbose"} << QString() << true;
        QTest::newRow("logging rules select them") << QStringList() << "wivora.startup.debug=true" << true;
        QTest::newRow("logging rules decide over --verbose")
            << QStringList{"--verbose"} << "wivora.*.debug=false" << false;
    }
    void debugLinesOnlyWhenAsked()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, loggingRules);
        QFETCH(bool, printed);

        ClientFolders folders;
        ChildProcess client;
        OutputLog log(client);
        folders.start(client, QStringLiteral(WIVORA_CLIENT_PROGRAM), arguments, loggingRules);
        // Each look wakes it once; its debug line would follow at once.
        QVERIFY(folders.waitUntilCopyAnswers());
        QVERIFY(folders.copyAnswers());
        if (printed)
            QTRY_VERIFY(log.count(WakeUpLogLine) > 0);
        client.terminate();
        QVERIFY(client.waitForFinished(StartTimeoutMs));
        QCOMPARE(log.count(WakeUpLogLine) > 0, printed);
    }

    void copiesWithOwnFoldersRunSideBySide()
    {
        ClientFolders firstFolders;
        ClientFolders secondFolders;
        ChildProcess first;
        ChildProcess second;
        firstFolders.start(first, QStringLiteral(WIVORA_CLIENT_PROGRAM));
        secondFolders.start(second, QStringLiteral(WIVORA_CLIENT_PROGRAM));
        QVERIFY(firstFolders.waitUntilCopyAnswers());
        QVERIFY(secondFolders.waitUntilCopyAnswers());
        QCOMPARE(first.state(), QProcess::Running);
        QCOMPARE(second.state(), QProcess::Running);
    }

    // A copy killed while listening leaves its socket file; the next start
    // must neither be woken by it nor fail to listen.
    void startsAfterACopyWasKilled()
    {
        ClientFolders folders;
        ChildProcess killed;
        folders.start(killed, QStringLiteral(WIVORA_CLIENT_PROGRAM));
        QVERIFY(folders.waitUntilCopyAnswers());
        killed.kill();
        QVERIFY(killed.waitForFinished());
        QVERIFY(QFileInfo::exists(folders.socketPath()));
        QVERIFY(!folders.copyAnswers());

        ChildProcess next;
        folders.start(next, QStringLiteral(WIVORA_CLIENT_PROGRAM));
        QVERIFY(folders.waitUntilCopyAnswers());
        QCOMPARE(next.state(), QProcess::Running);
    }

    void crashLeavesOneReport_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("signalLine");
        QTest::addColumn<QByteArray>("addressLine");

        const QByteArray lowAddress = "address=0x0000000000000010\n";
        QTest::newRow("bad write") << "segv" << QByteArray("signal=11 SIGSEGV\n") << lowAddress;
        QTest::newRow("bad write on another thread") << "thread-segv" << QByteArray("signal=11 SIGSEGV\n") << lowAddress;
        QTest::newRow("abort") << "abort" << QByteArray("signal=6 SIGABRT\n") << QByteArray();
        QTest::newRow("illegal instruction") << "trap" << QByteArray("signal=4 SIGILL\n") << QByteArray();
    }
    void crashLeavesOneReport()
    {
        QFETCH(QString, how);
        QFETCH(QByteArray, signalLine);
        QFETCH(QByteArray, addressLine);
        ClientFolders folders;

        ChildProcess crasher;
        folders.start(crasher, QStringLiteral(WIVORA_CRASHER_PROGRAM), {how});
        QVERIFY(crasher.waitForFinished(StartTimeoutMs));
        QCOMPARE(crasher.exitStatus(), QProcess::CrashExit);

        const QStringList dumps = folders.dumps();
        QCOMPARE(dumps.size(), 1);
        QFile dump(QDir(folders.dumpsFolder()).filePath(dumps.first()));
        QVERIFY(dump.open(QIODevice::ReadOnly));
        const QByteArray report = dump.readAll();
        QVERIFY2(report.startsWith(signalLine), report.constData());
        if (!addressLine.isEmpty())
            QVERIFY2(report.contains(addressLine), report.constData());
        QVERIFY(report.contains("\nprod=Wivora\nver=1.0021\n"));
        const int backtrace = report.indexOf("backtrace:\n");
        QVERIFY(backtrace > 0);
        QVERIFY2(report.mid(backtrace).count('\n') > 2, report.constData());
    }

    void nextStartSendsTheReport()
    {
        ClientFolders folders;
        ChildProcess crasher;
        folders.start(crasher, QStringLiteral(WIVORA_CRASHER_PROGRAM), {QStringLiteral("segv")});
        QVERIFY(crasher.waitForFinished(StartTimeoutMs));
        QCOMPARE(folders.dumps().size(), 1);
        QFile dump(QDir(folders.dumpsFolder()).filePath(folders.dumps().first()));
        QVERIFY(dump.open(QIODevice::ReadOnly));
        const QByteArray report = dump.readAll();

        ServerProcess server;
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        folders.setMachineSetting(QStringLiteral("service/accountsite"),
                                  QStringLiteral("http://127.0.0.1:%1/").arg(server.httpPort()));
        folders.setMachineSetting(QStringLiteral("service/domain"), QStringLiteral("localhost"));

        ChildProcess client;
        folders.start(client, QStringLiteral(WIVORA_CLIENT_PROGRAM));
        QTRY_VERIFY_WITH_TIMEOUT(folders.dumps().isEmpty(), StartTimeoutMs);

        const QDir received(QDir(server.dataDir()).filePath(QStringLiteral("dumps")));
        const QStringList stored = received.entryList(QDir::Files);
        QCOMPARE(stored.size(), 1);
        QFile storedReport(received.filePath(stored.first()));
        QVERIFY(storedReport.open(QIODevice::ReadOnly));
        QCOMPARE(storedReport.readAll(), report);

        // Start-up also pointed the main-server address at the service.
        QCOMPARE(folders.machineSetting(QStringLiteral("mainserverip")), QStringLiteral("localhost"));
        QCOMPARE(client.state(), QProcess::Running);
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_Startup)
#include "tst_Startup.moc"
