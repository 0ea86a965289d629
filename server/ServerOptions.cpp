#include "ServerOptions.h"

#include "UserAdministration.h"

#include <QStandardPaths>

namespace {

bool parseNumber(const QString &text, int minimum, int maximum, int *number)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < minimum || value > maximum)
        return false;
    *number = value;
    return true;
}

} // namespace

QString ServerOptions::defaultDataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/wivora-server");
}

QString ServerOptions::usage()
{
    return QStringLiteral(
        "usage: wivora-server [--data DIR] [--host ADDR] [--port N] [--udp-port N] [--http-port N] [--demo]\n"
        "       wivora-server [--data DIR] adduser NAME PASSWORD\n"
        "       wivora-server [--data DIR] addcontact NAME NAME\n"
        "       wivora-server [--data DIR] users\n"
        "       wivora-server --help\n")
        + UserAdministration::userNameRule() + QLatin1Char('\n');
}

bool ServerOptions::parse(const QStringList &arguments, ServerOptions *options, QString *error)
{
    ServerOptions result;
    result.dataDir = defaultDataDir();
    QStringList positional;
    bool udpPortGiven = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            result.help = true;
            continue;
        }
        if (argument == QLatin1String("--demo")) {
            result.demo = true;
            continue;
        }
        if (!argument.startsWith(QLatin1String("--"))) {
            positional << argument;
            continue;
        }
        const bool known = argument == QLatin1String("--data") || argument == QLatin1String("--host")
                           || argument == QLatin1String("--port") || argument == QLatin1String("--udp-port")
                           || argument == QLatin1String("--http-port")
                           || argument == QLatin1String("--tunnel-timeout-ms");
        if (!known) {
            *error = QStringLiteral("unknown option %1").arg(argument);
            return false;
        }
        if (i + 1 >= arguments.size()) {
            *error = QStringLiteral("%1 needs a value").arg(argument);
            return false;
        }
        const QString value = arguments.at(++i);
        bool valid = true;
        if (argument == QLatin1String("--data"))
            result.dataDir = value;
        else if (argument == QLatin1String("--host"))
            result.host = value;
        else if (argument == QLatin1String("--port"))
            valid = parseNumber(value, 0, 65535, &result.tcpPort);
        else if (argument == QLatin1String("--udp-port")) {
            valid = parseNumber(value, 0, 65535, &result.udpPort);
            udpPortGiven = true;
        }
        else if (argument == QLatin1String("--http-port"))
            valid = parseNumber(value, 0, 65535, &result.httpPort);
        else
            valid = parseNumber(value, 1, 24 * 3600 * 1000, &result.tunnelJoinTimeoutMs);
        if (!valid) {
            *error = QStringLiteral("invalid value %1 for %2").arg(value, argument);
            return false;
        }
    }

    if (result.help) {
        *options = result;
        return true;
    }

    // Clients look for the UDP rendezvous on the main port's number.
    if (!udpPortGiven)
        result.udpPort = result.tcpPort;

    if (!positional.isEmpty()) {
        result.command = positional.takeFirst();
        result.commandArguments = positional;
        const int expected = result.command == QLatin1String("adduser")      ? 2
                             : result.command == QLatin1String("addcontact") ? 2
                             : result.command == QLatin1String("users")      ? 0
                                                                             : -1;
        if (expected < 0) {
            *error = QStringLiteral("unknown command %1").arg(result.command);
            return false;
        }
        if (result.commandArguments.size() != expected) {
            *error = QStringLiteral("%1 takes %2 arguments").arg(result.command).arg(expected);
            return false;
        }
    }
    *options = result;
    return true;
}
