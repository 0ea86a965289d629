#include "ServerApplication.h"
#include "ServerOptions.h"
#include "ServerStore.h"
#include "TerminationSignals.h"
#include "UserAdministration.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

namespace {

int runAdministration(const ServerOptions &options, QTextStream &out, QTextStream &err)
{
    ServerStore store;
    if (!QDir().mkpath(options.dataDir)
        || !store.open(QDir(options.dataDir).filePath(QStringLiteral("wivora-server.sqlite")))) {
        err << "cannot open the store in " << options.dataDir << ": " << store.lastError() << Qt::endl;
        return 1;
    }
    UserAdministration administration(store);
    const QStringList &args = options.commandArguments;
    bool ok = true;
    if (options.command == QLatin1String("adduser"))
        ok = administration.addUser(args.at(0), args.at(1));
    else if (options.command == QLatin1String("addcontact"))
        ok = administration.addContact(args.at(0), args.at(1));
    else {
        for (const QString &line : administration.describeUsers())
            out << line << Qt::endl;
    }
    if (!ok) {
        err << administration.lastError() << Qt::endl;
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wivora-server"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    ServerOptions options;
    QString error;
    if (!ServerOptions::parse(app.arguments().mid(1), &options, &error)) {
        err << error << '\n' << ServerOptions::usage() << Qt::flush;
        return 2;
    }
    if (!options.command.isEmpty())
        return runAdministration(options, out, err);

    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::signalTerminationRequested, &app,
                     &QCoreApplication::quit);
    ServerApplication server(options, out);
    if (!server.start(&error)) {
        err << error << Qt::endl;
        return 1;
    }
    const int code = app.exec();
    server.stop();
    out << "stopped" << Qt::endl;
    return code;
}
