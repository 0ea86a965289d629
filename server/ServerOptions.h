#pragma once

#include "ServerProtocol.h"

#include <QString>
#include <QStringList>

// The command line of wivora-server:
//   wivora-server [--data DIR] [--host ADDR] [--port N] [--udp-port N] [--http-port N] [--demo]
//   wivora-server [--data DIR] adduser NAME PASSWORD | addcontact NAME NAME | users
//   wivora-server --help
// Port 0 picks a free port; the listening lines tell which. The UDP port
// follows --port unless given, since clients find the rendezvous there.
struct ServerOptions
{
    QString dataDir;
    QString host = QStringLiteral("127.0.0.1");
    int tcpPort = ServerProtocol::DefaultTcpPort;
    int udpPort = ServerProtocol::DefaultUdpPort;
    int httpPort = ServerProtocol::DefaultHttpPort;
    bool demo = false;
    bool help = false; // --help or -h: print the usage and stop
    // Not in the usage text: tests shorten the wait for a tunnel's peer.
    int tunnelJoinTimeoutMs = ServerProtocol::TunnelJoinTimeoutMs;
    // An administration command and its arguments; empty to run the server.
    QString command;
    QStringList commandArguments;

    // Parses arguments (without the program name). On a mistake, false and
    // the reason in error.
    static bool parse(const QStringList &arguments, ServerOptions *options, QString *error);
    static QString usage();
    static QString defaultDataDir();
};
