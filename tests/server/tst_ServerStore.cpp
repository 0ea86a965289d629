// The server's store and the small parts around it that need no running server.

#include "QtTestSuite.h"
#include "PasswordHash.h"
#include "PluginCatalogue.h"
#include "ServerOptions.h"
#include "ServerStore.h"
#include "WDataStructure.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

class tst_ServerStore : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString databasePath() const { return m_dir.filePath(QStringLiteral("store.sqlite")); }

private slots:
    void usersMatchWithoutCaseAndSurviveReopening()
    {
        {
            ServerStore store;
            QVERIFY(store.open(databasePath()));
            QVERIFY(store.addUser(QStringLiteral("Zoë"), QStringLiteral("hash"), QStringLiteral("key"), QStringLiteral("text")));
            QVERIFY(!store.addUser(QStringLiteral("ZOË"), QStringLiteral("other"), QStringLiteral("key"), QString()));
            QVERIFY(store.setStatus(QStringLiteral("zoë"), 4));
            QVERIFY(store.setHostInformation(QStringLiteral("ZOË"), QStringLiteral("10.0.0.1"), 15001));
            QVERIFY(!store.setStatus(QStringLiteral("nobody"), 4));
        }
        ServerStore store;
        QVERIFY(store.open(databasePath()));
        QCOMPARE(store.userNames(), QStringList{QStringLiteral("zoë")});
        QCOMPARE(store.passwordHash(QStringLiteral("ZoË")), QStringLiteral("hash"));
        QCOMPARE(store.status(QStringLiteral("zoë")), 4);
        QCOMPARE(store.status(QStringLiteral("nobody")), -1);
        QString addresses;
        int port = 0;
        QVERIFY(store.hostInformation(QStringLiteral("zoë"), &addresses, &port));
        QCOMPARE(addresses, QStringLiteral("10.0.0.1"));
        QCOMPARE(port, 15001);
    }

    void relayQueuesAreFirstInFirstOutPerReceiver()
    {
        ServerStore store;
        QVERIFY(store.open(databasePath()));
        const QByteArray binary("\x00\x01\xff\x00", 4);
        QVERIFY(store.appendRelay(QStringLiteral("Ann"), QStringLiteral("Cleo"), "one"));
        QVERIFY(store.appendRelay(QStringLiteral("ben"), QStringLiteral("ann"), "other"));
        QVERIFY(store.appendRelay(QStringLiteral("ann"), QStringLiteral("ben"), binary));
        QCOMPARE(store.relayCount(QStringLiteral("ANN")), 2);
        QString sender;
        QCOMPARE(store.takeRelay(QStringLiteral("ann"), &sender), QByteArray("one"));
        QCOMPARE(sender, QStringLiteral("cleo"));
        QCOMPARE(store.takeRelay(QStringLiteral("ann"), &sender), binary);
        QCOMPARE(sender, QStringLiteral("ben"));
        QCOMPARE(store.takeRelay(QStringLiteral("ann"), &sender), QByteArray());
        QCOMPARE(store.takeRelay(QStringLiteral("ben"), &sender), QByteArray("other"));
        QCOMPARE(sender, QStringLiteral("ann"));
    }

    void relayQueueOfAnOlderStoreOpensWithoutSenders()
    {
        // A store written before relayed records kept their sender.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("older.sqlite"));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("older"));
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(QStringLiteral("CREATE TABLE relay (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                              " receiver TEXT NOT NULL, record BLOB NOT NULL)")));
            QVERIFY(query.exec(QStringLiteral("INSERT INTO relay (receiver, record) VALUES ('ann', X'6F6C64')")));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("older"));

        QString sender = QStringLiteral("left over");
        {
            ServerStore store;
            QVERIFY2(store.open(path), qPrintable(store.lastError()));
            // Its queue is counted from the start.
            QCOMPARE(store.relayCount(QStringLiteral("ann")), 1);
            QCOMPARE(store.relayBytesTo(QStringLiteral("ann")), 3);
            QCOMPARE(store.takeRelay(QStringLiteral("ann"), &sender), QByteArray("old"));
            QCOMPARE(sender, QString());
            QVERIFY(store.appendRelay(QStringLiteral("ann"), QStringLiteral("ben"), "new"));
        }
        ServerStore reopened; // finds the column in place
        QVERIFY2(reopened.open(path), qPrintable(reopened.lastError()));
        QCOMPARE(reopened.takeRelay(QStringLiteral("ann"), &sender), QByteArray("new"));
        QCOMPARE(sender, QStringLiteral("ben"));
    }

    void relayTotalsFollowEveryChange()
    {
        // The caps read these before every relayed record: they must match
        // the queues after appends, takes and deletes, and after a reopen.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("totals.sqlite"));
        const auto totals = [](ServerStore &store, const QString &name) {
            return QStringLiteral("%1 %2 %3")
                .arg(store.relayCount(name))
                .arg(store.relayBytesTo(name))
                .arg(store.relayBytesFrom(name));
        };
        qint64 secondId = 0;
        {
            ServerStore store;
            QVERIFY(store.open(path));
            QCOMPARE(totals(store, QStringLiteral("ann")), QStringLiteral("0 0 0"));
            QVERIFY(store.appendRelay(QStringLiteral("ann"), QStringLiteral("ben"), "12345"));
            QVERIFY(store.appendRelay(QStringLiteral("Ann"), QStringLiteral("ben"), "123"));
            QVERIFY(store.appendRelay(QStringLiteral("ben"), QStringLiteral("ann"), "1"));
            QVERIFY(store.appendRelay(QStringLiteral("ann"), QStringLiteral("ann"), "12"));
            QCOMPARE(totals(store, QStringLiteral("ann")), QStringLiteral("3 10 3"));
            QCOMPARE(totals(store, QStringLiteral("ben")), QStringLiteral("1 1 8"));

            QVERIFY(!store.takeRelay(QStringLiteral("ann")).isEmpty());
            QCOMPARE(totals(store, QStringLiteral("ann")), QStringLiteral("2 5 3"));
            QCOMPARE(totals(store, QStringLiteral("ben")), QStringLiteral("1 1 3"));
            QVERIFY(!store.peekRelay(QStringLiteral("ann"), 0, &secondId).isEmpty());
            QVERIFY(store.deleteRelay(QStringLiteral("ben"), secondId)); // not ben's: nothing goes
            QCOMPARE(totals(store, QStringLiteral("ann")), QStringLiteral("2 5 3"));
            QVERIFY(store.deleteRelay(QStringLiteral("ann"), secondId));
            QCOMPARE(totals(store, QStringLiteral("ann")), QStringLiteral("1 2 3"));
            QCOMPARE(totals(store, QStringLiteral("ben")), QStringLiteral("1 1 0"));
        }
        ServerStore reopened;
        QVERIFY(reopened.open(path));
        QCOMPARE(totals(reopened, QStringLiteral("ann")), QStringLiteral("1 2 3"));
        QCOMPARE(totals(reopened, QStringLiteral("ben")), QStringLiteral("1 1 0"));
    }

    void contactRelations()
    {
        ServerStore store;
        QVERIFY(store.open(databasePath()));
        QVERIFY(store.addContact(QStringLiteral("a"), QStringLiteral("B"), false));
        QVERIFY(store.addContact(QStringLiteral("c"), QStringLiteral("b"), true));
        QVERIFY(store.addContact(QStringLiteral("a"), QStringLiteral("b"), true)); // kept as it was
        QCOMPARE(store.watchersOf(QStringLiteral("b")), (QStringList{QStringLiteral("a"), QStringLiteral("c")}));
        QCOMPARE(store.unmergedContactsOf(QStringLiteral("a")), QStringList{QStringLiteral("b")});
        QVERIFY(store.markContactsMerged(QStringLiteral("a"), {QStringLiteral("b")}));
        QVERIFY(store.unmergedContactsOf(QStringLiteral("a")).isEmpty());
        QVERIFY(store.removeContact(QStringLiteral("A"), QStringLiteral("b")));
        QCOMPARE(store.watchersOf(QStringLiteral("b")), QStringList{QStringLiteral("c")});
    }

    void findUsers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("part of a name") << "IND" << QStringList{"linda"};
        QTest::newRow("full name, other case") << "łUKASZ" << QStringList{"luke"};
        QTest::newRow("several") << "l" << QStringList{"linda", "luke"};
        QTest::newRow("empty matches nobody") << "" << QStringList{};
        QTest::newRow("no match") << "zzz" << QStringList{};
    }
    void findUsers()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, found);
        QTemporaryDir dir;
        ServerStore store;
        QVERIFY(store.open(dir.filePath(QStringLiteral("find.sqlite"))));
        for (const char *name : {"linda", "luke"})
            QVERIFY2(store.addUser(QString::fromLatin1(name), QStringLiteral("h"), QStringLiteral("k"), QString()),
                     qPrintable(store.lastError()));
        QVERIFY(store.setVCard(QStringLiteral("luke"), QStringLiteral("vcard"),
                               {QStringLiteral("luke"), QStringLiteral("Łukasz Nowak"), QStringLiteral("Kraków"), QStringLiteral("pl")}));
        QStringList names;
        for (const ServerStore::UserSummary &user : store.findUsers(text, 10))
            names << user.name;
        QCOMPARE(names, found);
    }

    void passwordHash_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<bool>("accepted");
        const QString hash = PasswordHash::create("geheim");
        QTest::newRow("right") << hash << QByteArray("geheim") << true;
        QTest::newRow("wrong") << hash << QByteArray("Geheim") << false;
        QTest::newRow("empty stored") << QString() << QByteArray("geheim") << false;
        QTest::newRow("cut short") << hash.left(hash.size() - 4) << QByteArray("geheim") << false;
        QTest::newRow("iterations absurd") << QString(hash).replace(QStringLiteral("$60000$"), QStringLiteral("$2147483647$"))
                                           << QByteArray("geheim") << false;
        QTest::newRow("other scheme") << QStringLiteral("md5$1$abc$def") << QByteArray("geheim") << false;
    }
    void passwordHash()
    {
        QFETCH(QString, stored);
        QFETCH(QByteArray, password);
        QFETCH(bool, accepted);
        QCOMPARE(PasswordHash::verify(password, stored), accepted);
        QVERIFY(!stored.contains(QLatin1String(password)));
    }

    void options_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("udpPort");
        QTest::addColumn<QString>("command");
        QTest::newRow("defaults") << QStringList{} << true << 2004 << 2004 << "";
        QTest::newRow("port") << QStringList{"--port", "0", "--demo"} << true << 0 << 0 << "";
        // Clients find the rendezvous on the main port's number.
        QTest::newRow("udp follows port") << QStringList{"--port", "24004"} << true << 24004 << 24004 << "";
        QTest::newRow("udp given") << QStringList{"--udp-port", "3000", "--port", "24004"} << true << 24004 << 3000
                                   << "";
        QTest::newRow("adduser") << QStringList{"--data", "/d", "adduser", "a", "pw"} << true << 2004 << 2004
                                 << "adduser";
        QTest::newRow("adduser without password") << QStringList{"adduser", "a"} << false << 0 << 0 << "";
        QTest::newRow("port out of range") << QStringList{"--port", "70000"} << false << 0 << 0 << "";
        QTest::newRow("option without value") << QStringList{"--data"} << false << 0 << 0 << "";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << false << 0 << 0 << "";
        QTest::newRow("unknown command") << QStringList{"deluser", "a"} << false << 0 << 0 << "";
    }
    void options()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, valid);
        QFETCH(int, port);
        QFETCH(int, udpPort);
        QFETCH(QString, command);
        ServerOptions options;
        QString error;
        QCOMPARE(ServerOptions::parse(arguments, &options, &error), valid);
        QCOMPARE(error.isEmpty(), valid);
        if (valid) {
            QCOMPARE(options.tcpPort, port);
            QCOMPARE(options.udpPort, udpPort);
            QCOMPARE(options.command, command);
        }
    }

    void catalogue()
    {
        QTemporaryDir dir;
        const PluginCatalogue catalogue(dir.path(), QStringLiteral("http://127.0.0.1:8080"));
        QCOMPARE(catalogue.clientUpdate(QStringLiteral("linux"), 1021), QString());

        QFile file(dir.filePath(PluginCatalogue::fileName()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[client]\nsize=2\n1\\platform=linux\n1\\build=1022\n1\\file=client-1022.tar.gz\n"
                   "2\\platform=linux\n2\\build=1030\n2\\file=client-1030.tar.gz\n"
                   "[plugins]\nsize=3\n1\\name=WFtp\n1\\platform=linux\n1\\version=3\n1\\description=Files\n"
                   "1\\file=libwftp.so\n2\\name=WMail\n2\\platform=other\n2\\version=1\n2\\file=libwmail.so\n"
                   "3\\name=evil\n3\\platform=linux\n3\\version=9\n3\\file=../etc/passwd\n");
        file.close();

        QCOMPARE(catalogue.clientUpdate(QStringLiteral("linux"), 1021),
                 QStringLiteral("http://127.0.0.1:8080/downloads/client-1030.tar.gz"));
        QCOMPARE(catalogue.clientUpdate(QStringLiteral("linux"), 1030), QString());
        QCOMPARE(catalogue.pluginUpdate(QStringLiteral("WFtp"), QStringLiteral("linux"), 2),
                 QStringLiteral("http://127.0.0.1:8080/downloads/libwftp.so"));
        QCOMPARE(catalogue.pluginUpdate(QStringLiteral("WFtp"), QStringLiteral("linux"), 3), QString());

        WDataStructure tree;
        QVERIFY(tree.DeserializeStructure(catalogue.pluginsTree(QStringLiteral("linux"))));
        QCOMPARE(tree.childCount(), 1); // wmail is for another platform, evil names no plain file
        const auto wftp = tree.GetStructureByPos(0);
        QCOMPARE(wftp->gv(QStringLiteral("Name")), QStringLiteral("WFtp"));
        QCOMPARE(wftp->gv(QStringLiteral("Description")), QStringLiteral("Files"));
        QVERIFY(wftp->gv(QStringLiteral("Path")).endsWith(QLatin1String("/libwftp.so")));
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_ServerStore)
#include "tst_ServerStore.moc"
