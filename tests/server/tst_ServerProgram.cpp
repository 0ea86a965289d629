// The wivora-server program's command line and what it does to its data
// folder, run as a real process.

#include "QtTestSuite.h"
#include "FileMode.h"
#include "ServerProcess.h"

#include <QtTest>

#include <sys/stat.h>

namespace {

struct Run
{
    int exitCode = -1;
    QString output;
};

Run runProgram(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(ServerProcess::program(), arguments);
    Run run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.output = QString::fromUtf8(process.readAll());
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

const QString StoreFile = QStringLiteral("wivora-server.sqlite");

} // namespace

class tst_ServerProgram : public QObject
{
    Q_OBJECT

private slots:
    void commandsSayWhatTheyDid_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("withUsers"); // alice and bob made first
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::addColumn<bool>("storeAfter");

        QTest::newRow("--help") << QStringList{"--help"} << false << 0 << "usage: wivora-server" << false;
        QTest::newRow("-h") << QStringList{"-h"} << false << 0 << "wivora-server [--data DIR] adduser" << false;
        QTest::newRow("adduser") << QStringList{"adduser", "Zoe", "pw"} << false << 0 << "added user zoe" << true;
        QTest::newRow("addcontact") << QStringList{"addcontact", "alice", "BOB"} << true << 0
                                    << "alice and bob are contacts of each other" << true;
        QTest::newRow("invalid user name answered with the rule")
            << QStringList{"adduser", "no spaces", "pw"} << false << 1
            << "invalid user name \"no spaces\". A user name is 1 to 64 characters" << true;
        QTest::newRow("addcontact of an unknown user") << QStringList{"addcontact", "alice", "nobody"} << true << 1
                                                       << "unknown user: nobody" << true;
        QTest::newRow("users on a folder without a store creates none")
            << QStringList{"users"} << false << 1 << "no store in" << false;
        QTest::newRow("users lists users and contacts") << QStringList{"users"} << true << 0
                                                        << "alice (contacts: bob)" << true;
    }
    void commandsSayWhatTheyDid()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, withUsers);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        QFETCH(bool, storeAfter);
        QTemporaryDir root;
        const QString data = root.filePath(QStringLiteral("data"));
        if (withUsers) {
            for (const QStringList &command : {QStringList{"adduser", "alice", "a-pw"}, QStringList{"adduser", "bob", "b-pw"},
                                               QStringList{"addcontact", "alice", "bob"}})
                QCOMPARE(runProgram(QStringList{"--data", data} + command).exitCode, 0);
        }

        const Run run = runProgram(QStringList{"--data", data} + arguments);

        QVERIFY2(run.output.contains(said), qPrintable(run.output));
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(QFile::exists(QDir(data).filePath(StoreFile)), storeAfter);
    }

    void aDataFolderThatCannotBeOpenedSaysWhy()
    {
        QTemporaryDir root;
        const QString notAFolder = root.filePath(QStringLiteral("plain-file"));
        QFile file(notAFolder);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        for (const QStringList &command : {QStringList{"adduser", "zoe", "pw"}, QStringList{"--port", "0"}}) {
            const Run run = runProgram(QStringList{"--data", notAFolder} + command);
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.output.contains(notAFolder + QStringLiteral(" is not a folder")), qPrintable(run.output));
        }
    }

    void dataFolderIsPrivateAfterStart_data()
    {
        QTest::addColumn<bool>("loosenedBefore");
        QTest::newRow("made by the server") << false;
        QTest::newRow("readable by everyone before") << true;
    }
    void dataFolderIsPrivateAfterStart()
    {
        QFETCH(bool, loosenedBefore);
        ServerProcess server;
        QVERIFY(server.addUser(QStringLiteral("alice"), QStringLiteral("a-pw")));
        const QDir data(server.dataDir());
        if (loosenedBefore) {
            QVERIFY(::chmod(QFile::encodeName(data.path()).constData(), 0755) == 0);
            QVERIFY(::chmod(QFile::encodeName(data.filePath(StoreFile)).constData(), 0644) == 0);
        }
        QVERIFY(server.start());

        QCOMPARE(modeOf(data.path()), 0700);
        const QStringList files = data.entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(files.contains(StoreFile) && files.contains(QStringLiteral("server_private.pem"))
                     && files.contains(QStringLiteral("server_public.pem")),
                 qPrintable(files.join(',')));
        for (const QString &name : files)
            QVERIFY2(modeOf(data.filePath(name)) == 0600, qPrintable(name));
        QVERIFY(server.stop());
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_ServerProgram)
#include "tst_ServerProgram.moc"
