#include "ClientLogging.h"
#include "CrashDumpUploader.h"
#include "CrashHandler.h"
#include "InstallerOffer.h"
#include "MainClass.h"
#include "ServiceSettings.h"
#include "SingleInstanceGuard.h"
#include "WApplication.h"
#include "WakeUpServer.h"

#include <PSettings.h>
#include <ThreadUtilities.h>

#include <QtConcurrent>
#include <QtCrypto>

int main(int argc, char *argv[])
{
    WApplication app(argc, argv);
    ClientLogging::setVerbose(app.arguments().contains(QStringLiteral("--") + ClientLogging::VerboseOption));
    const QString domain = ServiceSettings::domain();
    QCoreApplication::setOrganizationName(QStringLiteral("wivora"));
    QCoreApplication::setOrganizationDomain(domain);
    QCoreApplication::setApplicationName(QStringLiteral("wivoraclient"));

    if (SingleInstanceGuard::wakeRunningCopy())
        return 0;
    SessionState::repairStorage();

    // The session controller starts its threads now; when the installer
    // opens, returning ends them through the controller's clean-up at exit.
    MainClass::instance();

    if (InstallerOffer().run() == InstallerOffer::Outcome::Opened)
        return 0;

    QCA::Initializer cryptography(QCA::Practical, 64);
    setThreadPoolExpiry(10000);
    PSettings::SetValue(QStringLiteral("mainserverip"), domain);

    // The style and the main window (with the plug-ins and the login form)
    // are not part of the program yet; start-up stops here. The main window,
    // created at this point, will take over the wake-up server and the quit
    // request below.
    WakeUpServer wakeUpServer;
    wakeUpServer.listen(SingleInstanceGuard::ServerName);
    QObject::connect(&app, &WApplication::signalQuitApp, &app, &QCoreApplication::quit);

    CrashHandler::install();

    // Reports of an earlier crash go out now, from a healthy process.
    CrashDumpUploader crashDumps(CrashHandler::defaultDumpsFolder(), CrashDumpUploader::defaultReportUrl());
    ensureThreadPoolCapacity();
    QFuture<int> upload = QtConcurrent::run(&crashDumps, &CrashDumpUploader::uploadAll);

    const int result = app.exec();
    crashDumps.cancel();
    upload.waitForFinished();
    return result;
}
