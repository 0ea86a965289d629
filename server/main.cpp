#include "PrivateDataFolder.h"
#include "ServerApplication.h"
#include "ServerOptions.h"
#include "ServerStore.h"
#include "TerminationSignals.h"
#include "UserAdministration.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <sys/stat.h>

namespace {

int runAdministration(const ServerOptions &options, QTextStream &out, QTextStream &err)
{
    const QString storePath = QDir(options.dataDir).filePath(QLatin1String(ServerStore::FileName));
    const bool listing = options.command == QLatin1String("users");
    // A listing only reads: a folder without a store stays as it is.
    if (listing && !QFileInfo::exists(storePath)) {
        err << "no store in " << options.dataDir << ": there are no users yet (adduser creates it)" << Qt::endl;
        return 1;
    }
    QString error;
    if (!PrivateDataFolder::prepare(options.dataDir, &error)) {
        err << error << Qt::endl;
        return 1;
    }
    ServerStore store;
    if (!store.open(storePath)) {
        err << "cannot open the store " << storePath << ": " << store.lastError() << Qt::endl;
        return 1;
    }
    UserAdministration administration(store);
    const QStringList &args = options.commandArguments;
    if (listing) {
        for (const QString &line : administration.describeUsers())
            out << line << Qt::endl;
        return 0;
    }
    const bool adding = options.command == QLatin1String("adduser");
    const bool ok = adding ? administration.addUser(args.at(0), args.at(1))
                           : administration.addContact(args.at(0), args.at(1));
    if (!ok) {
        err << administration.lastError() << Qt::endl;
        return 1;
    }
    if (adding)
        out << "added user " << args.at(0).toLower() << Qt::endl;
    else
        out << args.at(0).toLower() << " and " << args.at(1).toLower() << " are contacts of each other"
            << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wivora-server"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    // Everything the server writes holds private data: nobody else may read it.
    ::umask(0077);

    ServerOptions options;
    QString error;
    if (!ServerOptions::parse(app.arguments().mid(1), &options, &error)) {
        err << error << '\n' << ServerOptions::usage() << Qt::flush;
        return 2;
    }
    if (options.help) {
        out << ServerOptions::usage() << Qt::flush;
        return 0;
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
