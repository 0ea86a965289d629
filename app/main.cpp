#include "ClientLogging.h"
#include "CrashDumpUploader.h"
#include "CrashHandler.h"
#include "InstallerOffer.h"
#include "MainClass.h"
#include "ServiceSettings.h"
#include "QWivoraStyle.h"
#include "ScreenFit.h"
#include "SingleInstanceGuard.h"
#include "TerminationSignals.h"
#include "WApplication.h"
#include "WakeUpServer.h"
#include "Wivora.h"

#include <PSettings.h>
#include <ThreadUtilities.h>
#include <WivoraAccount.h>

#include <QFile>
#include <QTextStream>
#include <QtConcurrent>
#include <QtCrypto>

int main(int argc, char *argv[])
{
    // Before the application object: window sizes are in device-independent
    // pixels, scaled to the screen, and icons come at the screen's ratio.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    WApplication app(argc, argv);
    ClientLogging::setVerbose(app.arguments().contains(QStringLiteral("--") + ClientLogging::VerboseOption));
    // From the start: a SIGTERM or SIGINT during start-up waits for the event
    // loop and then ends the program in order.
    TerminationSignals termination;
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

    QFile styleSheet(QStringLiteral(":/wivorastyle/Resources/wivorastyle.stt"));
    if (styleSheet.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
    app.setStyle(new QWivoraStyle);
    // Every window from here on opens within its screen, plug-ins' too.
    ScreenFit screenFit;
    app.installEventFilter(&screenFit);

    // The window answers later starts through this server from now on.
    WakeUpServer wakeUpServer;
    wakeUpServer.listen(SingleInstanceGuard::ServerName);
    Wivora window(&wakeUpServer);
    QObject::connect(&app, &WApplication::signalQuitApp, &window, &Wivora::on_actionQuit_triggered);
    QObject::connect(&termination, &TerminationSignals::signalTerminationRequested, &window,
                     &Wivora::on_actionQuit_triggered);
    // One line per session change, for the scripts that start the program.
    QTextStream out(stdout);
    QObject::connect(&window, &Wivora::signalLoggedIn, &window, [&out] {
        out << "logged in as " << MainClass::instance()->getAccount()->getUserName() << Qt::endl;
    });
    QObject::connect(&window, &Wivora::signalLoggedOut, &window, [&out] { out << "logged out" << Qt::endl; });
    window.showMinimized();

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
