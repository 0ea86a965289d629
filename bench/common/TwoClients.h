#pragma once

// The set-up of the benchmarks between two client processes on this machine
// (bench/remote, bench/transfer): the stand-in server with alice and bob,
// contacts of each other, and both clients started (bob first) with the
// file-sharing plug-in beside the harness's probe and echo plug-ins.
//
//   QTemporaryDir home;
//   TwoClients::useHome(home);               // before the QCoreApplication
//   QCoreApplication app(argc, argv);
//   TwoClients clients(pluginPath);          // ends the program on failure
//   const QString disc = clients.shareWithAlice(folder);
//   clients.alice().probe().invoke(TwoClients::kFileSharing, ...);
//
// Built only with the tests, whose e2e harness it uses.

#include "E2eFixture.h"

#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class TwoClients
{
public:
    // The name the file-sharing plug-in answers to in the probe's invoke().
    static inline const QString kFileSharing = QStringLiteral("WFtp");

    // This process's settings and data under home, and no debug output; to
    // be called before the QCoreApplication is made.
    static void useHome(const QTemporaryDir &home);

    // A record of these keys and values.
    static KvrConfig keys(const QMap<QString, QString> &values);

    // Starts the server and both clients, each with the plug-in at
    // pluginPath, alice's process with aliceEnvironment added; ends the
    // program (qFatal) when a step fails.
    explicit TwoClients(const QString &pluginPath, const QMap<QString, QString> &aliceEnvironment = {});

    ClientProcess &alice() { return *m_alice; }
    ClientProcess &bob() { return *m_bob; }

    // Bob shares the folder at path with alice: the folder's path on bob's
    // disc as alice asks for it. Ends the program when bob could not share.
    QString shareWithAlice(const QString &path);

private:
    // Declared first so that it goes last: the clients stop before the server.
    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
};
