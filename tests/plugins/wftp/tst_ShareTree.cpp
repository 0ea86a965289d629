// Shared discs, folders, permitted users and the rights they grant.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <ShareRights.h>

#include <QtConcurrent>
#include <QtTest>

class tst_ShareTree : public QObject
{
    Q_OBJECT

private slots:
    void discNamesAccumulateCounters();
    void folderNamesAvoidTheRootEntry();
    void addPermittedUserKeepsTheFirstRecord();
    void rightsAreIndependentBits_data();
    void rightsAreIndependentBits();
    void allUsersAndOwnRecordCombine();
    void expiredGrantGivesNothingBeforeTheSweep();
    void sweepRemovesOnlyExpiredRecordsAndSavesOnce();
    void revokingRemovesEveryRecordOfTheUser();
    void savedUsers();
    void noAccountMeansNoOwnerAndNoSave();
    void concurrentRightsAndChangesStaySound();
};

void tst_ShareTree::discNamesAccumulateCounters()
{
    ShareFixture fixture;
    QStringList names;
    for (const char *folder : {"m1", "m2", "m3"}) {
        const QString path = fixture.root.path() + QLatin1Char('/') + QLatin1String(folder);
        QVERIFY(QDir().mkpath(path));
        names << fixture.engine.addSharedDisc(path, QStringLiteral("Music"));
    }
    QCOMPARE(names, QStringList({"Music", "Music1", "Music12"}));

    const int saves = fixture.provider->saves;
    QCOMPARE(fixture.engine.addSharedDisc(fixture.root.path() + QStringLiteral("/m2"), QStringLiteral("Other")),
             QStringLiteral("Music1"));
    QCOMPARE(fixture.provider->saves.load(), saves);
    // Separators would split virtual paths and "|" lists.
    QCOMPARE(fixture.engine.addSharedDisc(fixture.outside(), QStringLiteral("a/b|c")), QStringLiteral("a_b_c"));
}

void tst_ShareTree::folderNamesAvoidTheRootEntry()
{
    ShareFixture fixture;
    QVERIFY(QDir().mkpath(fixture.root.path() + QStringLiteral("/second")));
    const QString fresh = fixture.engine.addSharedDisc(fixture.root.path() + QStringLiteral("/second"), QString());
    QVERIFY(fixture.engine.addSharedFolder(fresh, QString()));
    QCOMPARE(fixture.engine.getSharedFolderByPath(fresh, QString())->gv("section"), QStringLiteral("root"));

    // "docs" has no root entry until a user is permitted on its root.
    fixture.grant("bob", "root", {"1"});
    QVERIFY(fixture.engine.addSharedFolder(fixture.disc, QStringLiteral("/")));
    QCOMPARE(fixture.engine.getSharedFolderByPath(fixture.disc, QStringLiteral("/"))->gv("section"),
             QStringLiteral("root1"));
    QVERIFY(!fixture.engine.addSharedFolder(fixture.disc, QStringLiteral("/pub")));
    QVERIFY(!fixture.engine.addSharedFolder(QStringLiteral("nodisc"), QStringLiteral("/x")));
}

void tst_ShareTree::addPermittedUserKeepsTheFirstRecord()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1"});
    QVERIFY(fixture.engine.addPermittedUser(ShareFixture::record("bob", {"1", "1", "1"}), fixture.disc, "pub"));
    QCOMPARE(fixture.engine.getUserPermission(fixture.disc, "pub", "bob"), int(ShareRights::Read));
    QCOMPARE(fixture.engine.getDiscPermittedUsers(fixture.disc, "pub")->childCount(), 1);

    // Sharing again with the same user updates that user's record.
    QVERIFY(fixture.engine.setPermittedUser(ShareFixture::record("bob", {"1", "1"}), fixture.disc, "pub"));
    QCOMPARE(fixture.engine.getUserPermission(fixture.disc, "pub", "bob"),
             int(ShareRights::Read | ShareRights::Write));
    QCOMPARE(fixture.engine.getDiscPermittedUsers(fixture.disc, "pub")->childCount(), 1);
}

void tst_ShareTree::rightsAreIndependentBits_data()
{
    QTest::addColumn<QStringList>("flags"); // read, write, delete, full
    QTest::addColumn<int>("rights");
    QTest::newRow("nothing") << QStringList{"0", "0", "0", "0"} << 0;
    QTest::newRow("read") << QStringList{"1", "0", "0", "0"} << 1;
    QTest::newRow("read+delete has no write") << QStringList{"1", "0", "1", "0"} << 5;
    QTest::newRow("delete alone") << QStringList{"0", "0", "1", "0"} << 4;
    QTest::newRow("full alone") << QStringList{"0", "0", "0", "1"} << 7;
    QTest::newRow("all four") << QStringList{"1", "1", "1", "1"} << 7;
    QTest::newRow("non-zero integers are set") << QStringList{"2", "-1", "0", "0"} << 3;
    QTest::newRow("text is not a flag") << QStringList{"yes", "true", "0", "0"} << 0;
}

void tst_ShareTree::rightsAreIndependentBits()
{
    QFETCH(QStringList, flags);
    QFETCH(int, rights);
    ShareFixture fixture;
    const QList<QByteArray> latin = {flags[0].toLatin1(), flags[1].toLatin1(), flags[2].toLatin1(), flags[3].toLatin1()};
    fixture.grant("bob", "pub", {latin[0].constData(), latin[1].constData(), latin[2].constData(), latin[3].constData()});
    QCOMPARE(fixture.engine.getUserPermission(ShareFixture::vpath("pub/p.txt"), "bob"), rights);
    // The owner has everything; rights are not inherited between folders.
    QCOMPARE(fixture.engine.getUserPermission(ShareFixture::vpath("pub/p.txt"), "alice"), 7);
    QCOMPARE(fixture.engine.getUserPermission(ShareFixture::vpath("root/a.txt"), "bob"), 0);
    // No magic user name: "webdownload" is a user like any other.
    QCOMPARE(fixture.engine.getUserPermission(ShareFixture::vpath("pub/p.txt"), "webdownload"), 0);
}

void tst_ShareTree::allUsersAndOwnRecordCombine()
{
    ShareFixture fixture;
    fixture.grant("allusers", "pub", {"1"});
    fixture.grant("bob", "pub", {"0", "1"});
    const QString path = ShareFixture::vpath("pub/p.txt");
    QCOMPARE(fixture.engine.getUserPermission(path, "bob"), int(ShareRights::Read | ShareRights::Write));
    QCOMPARE(fixture.engine.getUserPermission(path, "carol"), int(ShareRights::Read));
    QCOMPARE(fixture.engine.getUserPermission(path, ""), 0);
    // Someone else's disc name in the path grants nothing here.
    QCOMPARE(fixture.engine.getUserPermission("vls/mallory/docs/pub/p.txt", "bob"), 0);
}

void tst_ShareTree::expiredGrantGivesNothingBeforeTheSweep()
{
    ShareFixture fixture;
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(fixture.nowMs);
    fixture.engine.addPermittedUser(ShareFixture::record("bob", {"1"}, "0", now.addSecs(60)), fixture.disc, "pub");
    QCOMPARE(fixture.engine.getUserPermission(ShareFixture::vpath("pub"), "bob"), 1);
    QCOMPARE(fixture.engine.getSharedDiscs("bob"), QStringList{"vls/alice/docs/pub"});

    fixture.nowMs += 61 * 1000;
    QCOMPARE(fixture.engine.getUserPermission(ShareFixture::vpath("pub"), "bob"), 0);
    QVERIFY(fixture.engine.getSharedDiscs("bob").isEmpty());
    QVERIFY(fixture.engine.listDirectory(ShareFixture::vpath("pub"), "bob").getChildren().isEmpty());
}

void tst_ShareTree::sweepRemovesOnlyExpiredRecordsAndSavesOnce()
{
    ShareFixture fixture;
    const QDateTime past = QDateTime::fromMSecsSinceEpoch(fixture.nowMs).addSecs(-60);
    fixture.engine.addPermittedUser(ShareFixture::record("bob", {"1"}, "0", past), fixture.disc, "pub");
    fixture.engine.addPermittedUser(ShareFixture::record("carol", {"1"}, "1", past), fixture.disc, "pub");
    fixture.engine.addPermittedUser(ShareFixture::record("dave", {"1"}, "0"), fixture.disc, "root");

    int saves = fixture.provider->saves;
    QVERIFY(fixture.engine.clearOverduePermissions());
    QCOMPARE(fixture.provider->saves.load(), saves + 1);
    QVERIFY(!fixture.engine.getPermittedUser("bob", fixture.disc, "pub"));
    QVERIFY(!fixture.engine.getPermittedUser("dave", fixture.disc, "root")); // no date: passed
    QVERIFY(fixture.engine.getPermittedUser("carol", fixture.disc, "pub"));   // permanent

    saves = fixture.provider->saves;
    QVERIFY(fixture.engine.clearOverduePermissions());
    QCOMPARE(fixture.provider->saves.load(), saves);
}

void tst_ShareTree::revokingRemovesEveryRecordOfTheUser()
{
    ShareFixture fixture;
    // Two records of one user, as an older version appended on every share.
    auto users = fixture.engine.getDiscPermittedUsersByPath(fixture.disc, "/pub", true);
    users->AddStructure(ShareFixture::record("bob", {"1"}));
    users->AddStructure(ShareFixture::record("bob", {"1", "1"}));
    QCOMPARE(fixture.engine.getUserPermission(ShareFixture::vpath("pub"), "bob"), 3);

    QVERIFY(fixture.engine.deletePermittedUser("bob", fixture.disc, "pub"));
    QCOMPARE(fixture.engine.getUserPermission(ShareFixture::vpath("pub"), "bob"), 0);
    QVERIFY(!fixture.engine.deletePermittedUser("bob", fixture.disc, "pub"));
}

void tst_ShareTree::savedUsers()
{
    ShareFixture fixture;
    QVERIFY(fixture.engine.saveUsers({"bob", QStringLiteral("zoë")}));
    QCOMPARE(fixture.provider->account->accountData->getSetting("wftp/users"), QStringLiteral("bob|zoë|").toUtf8());
    QVERIFY(fixture.engine.addUser("bob"));
    QVERIFY(fixture.engine.addUser("carol"));
    QCOMPARE(fixture.engine.getSavedUsers(), QStringList({"bob", QStringLiteral("zoë"), "carol"}));
    QVERIFY(fixture.engine.deleteUser("bob"));
    QVERIFY(!fixture.engine.deleteUser("bob"));
    QVERIFY(!WFtpEngine::checkUserExist("Carol", fixture.engine.getSavedUsers()));
    QCOMPARE(fixture.engine.getSavedUsers(), QStringList({QStringLiteral("zoë"), "carol"}));
}

void tst_ShareTree::noAccountMeansNoOwnerAndNoSave()
{
    ShareFixture fixture;
    fixture.provider->account->setUserName(QString());
    const int saves = fixture.provider->saves;
    QVERIFY(fixture.engine.addSharedDisc(fixture.outside(), "x").isEmpty());
    QVERIFY(!fixture.engine.saveUsers({"bob"}));
    QVERIFY(!fixture.engine.addWebSharedFile(fixture.outside() + "/secret.txt", {}, QDateTime::currentDateTime()));
    QCOMPARE(fixture.provider->saves.load(), saves);
    // An empty owner name must not match an empty user.
    QCOMPARE(fixture.engine.getUserPermission("vls//docs/root", ""), 0);
    QVERIFY(fixture.engine.getSharedDiscs("").isEmpty());
}

void tst_ShareTree::concurrentRightsAndChangesStaySound()
{
    ShareFixture fixture;
    std::atomic<bool> stop{false};
    QList<QFuture<void>> readers;
    QThreadPool pool;
    pool.setMaxThreadCount(9);
    for (int i = 0; i < 8; ++i) {
        readers << QtConcurrent::run(&pool, [&fixture, &stop] {
            while (!stop) {
                fixture.engine.getUserPermission(ShareFixture::vpath("pub/p.txt"), "bob");
                fixture.engine.getSharedDiscs("bob");
            }
        });
    }
    QDeadlineTimer deadline(1000);
    int rounds = 0;
    while (!deadline.hasExpired()) {
        fixture.engine.setPermittedUser(ShareFixture::record("bob", {"1"}, "0"), fixture.disc, "pub");
        fixture.engine.clearOverduePermissions();
        fixture.engine.deletePermittedUser("bob", fixture.disc, "pub");
        ++rounds;
    }
    stop = true;
    for (auto &reader : readers)
        reader.waitForFinished();
    QVERIFY(rounds > 0);
    QCOMPARE(fixture.engine.getUserPermission(ShareFixture::vpath("pub"), "bob"), 0);
}

WIVORA_TEST_GUILESS_MAIN(tst_ShareTree)
#include "tst_ShareTree.moc"
