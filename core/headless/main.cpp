// The client without windows. It starts like the program (single-instance
// check, session controller, cryptography, plug-ins, crash handler and the
// upload of earlier crash reports), logs in with the user and password from
// the command line or the environment, and runs until SIGTERM or SIGINT,
// logging out first.
//
//   wivora-headless --user NAME [--password PASSWORD] [--verbose]
//   WIVORA_USER=NAME WIVORA_PASSWORD=PASSWORD wivora-headless
//
// Machine settings, storage, and the single-instance socket follow
// XDG_CONFIG_HOME, XDG_DATA_HOME and TMPDIR, so several clients run side by
// side on one machine when each has its own.

#include "ClientLogging.h"
#include "CrashDumpUploader.h"
#include "CrashHandler.h"
#include "HeadlessClient.h"
#include "InstallerOffer.h"
#include "MainClass.h"
#include "ServiceSettings.h"
#include "SingleInstanceGuard.h"
#include "TerminationSignals.h"
#include "WApplication.h"
#include "WakeUpServer.h"

#include <PSettings.h>
#include <ThreadUtilities.h>

#include <QCommandLineParser>
#include <QTextStream>
#include <QtConcurrent>
#include <QtCrypto>

namespace {

// The option's value, else the environment variable's.
QString optionOrEnvironment(const QCommandLineParser &parser, const QString &option, const char *variable)
{
    return parser.isSet(option) ? parser.value(option) : qEnvironmentVariable(variable);
}

} // namespace

int main(int argc, char *argv[])
{
    // The session controller builds widgets that are never shown. Of the
    // platforms without a screen, "minimal" also frees what it made at exit,
    // so a leak checker sees only the program's own leaks.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "minimal");

    WApplication app(argc, argv);
    const QString domain = ServiceSettings::domain();
    QCoreApplication::setOrganizationName(QStringLiteral("wivora"));
    QCoreApplication::setOrganizationDomain(domain);
    QCoreApplication::setApplicationName(QStringLiteral("wivoraclient"));

    QTextStream out(stdout);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The client without windows."));
    parser.addHelpOption();
    const QString userOption = QStringLiteral("user");
    const QString passwordOption = QStringLiteral("password");
    parser.addOption(
        {userOption, QStringLiteral("The user to log in as (else $WIVORA_USER)."), QStringLiteral("name")});
    parser.addOption(
        {passwordOption, QStringLiteral("The password (else $WIVORA_PASSWORD)."), QStringLiteral("password")});
    parser.addOption({ClientLogging::VerboseOption,
                      QStringLiteral("Print debug lines too (QT_LOGGING_RULES may also select them).")});
    parser.process(app);
    ClientLogging::setVerbose(parser.isSet(ClientLogging::VerboseOption));
    const QString user = optionOrEnvironment(parser, userOption, "WIVORA_USER");
    const QString password = optionOrEnvironment(parser, passwordOption, "WIVORA_PASSWORD");
    if (user.isEmpty() || password.isEmpty()) {
        QTextStream(stderr) << "wivora-headless: no user or password (--user, --password or WIVORA_USER, "
                               "WIVORA_PASSWORD)"
                            << Qt::endl;
        return 2;
    }

    if (SingleInstanceGuard::wakeRunningCopy()) {
        out << "already running" << Qt::endl;
        return 0;
    }
    SessionState::repairStorage();

    MainClass *session = MainClass::instance();

    // Nobody is there to say yes: a staged installer waits for a start with windows.
    if (InstallerOffer([](const QString &, const QString &) { return false; }).run() == InstallerOffer::Outcome::Opened)
        return 0;

    QCA::Initializer cryptography(QCA::Practical, 64);
    setThreadPoolExpiry(10000);
    PSettings::SetValue(QStringLiteral("mainserverip"), domain);

    // A second start with the same folders finds this copy and ends.
    WakeUpServer wakeUpServer;
    wakeUpServer.listen(SingleInstanceGuard::ServerName);

    session->pluginManager()->loadPlugins();
    QStringList pluginNames;
    for (const PluginRecord &plugin : session->pluginManager()->plugins())
        pluginNames << plugin.name;
    out << "plugins: " << pluginNames.join(QStringLiteral(", ")) << Qt::endl;

    CrashHandler::install();
    CrashDumpUploader crashDumps(CrashHandler::defaultDumpsFolder(), CrashDumpUploader::defaultReportUrl());
    ensureThreadPoolCapacity();
    QFuture<int> upload = QtConcurrent::run(&crashDumps, &CrashDumpUploader::uploadAll);

    HeadlessClient client(session, user, password, out);
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::signalTerminationRequested, &client, &HeadlessClient::slotStop);
    QObject::connect(&app, &WApplication::signalQuitApp, &client, &HeadlessClient::slotStop);
    client.start();

    const int result = app.exec();
    crashDumps.cancel();
    upload.waitForFinished();
    return result;
}
