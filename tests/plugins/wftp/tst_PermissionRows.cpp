// Permission rows and their storing: a row survives the trip through its
// record; applying rows makes a folder's permitted users exactly the rows
// that grant something, tells every user concerned once (never the pseudo-user
// "allusers") and saves every change, a revocation of everybody included.
#include "QtTestSuite.h"
#include "FolderSharingFixture.h"

#include <FolderPermissions.h>
#include <applyPermittedUsers.h>

#include <QCheckBox>
#include <QDateEdit>

class tst_PermissionRows : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rowRoundTrip_data();
    void rowRoundTrip();
    void damagedRecord_data();
    void damagedRecord();
    void applyRows_data();
    void applyRows();
    void contactsFollowTheGrant();
    void firstApplyOnADiscRootMakesItsRecord();
    void subfolderRecordsAreMadeUnique();
    void pathsOfOtherDiscsStoreNothing_data();
    void pathsOfOtherDiscsStoreNothing();

private:
    // Applies rows given as FolderSharingFixture::row specs.
    void apply(const QString &path, const QStringList &specs);

    std::unique_ptr<FolderSharingFixture> m_share;
};

void tst_PermissionRows::init()
{
    m_share = std::make_unique<FolderSharingFixture>();
}

void tst_PermissionRows::cleanup()
{
    m_share.reset();
}

void tst_PermissionRows::apply(const QString &path, const QStringList &specs)
{
    QList<uiPermissionWidget *> rows;
    for (const QString &spec : specs)
        rows << FolderSharingFixture::row(spec);
    applyPermittedUsers(m_share->main(), path, rows);
    qDeleteAll(rows);
}

void tst_PermissionRows::rowRoundTrip_data()
{
    QTest::addColumn<QString>("spec");
    QTest::addColumn<QStringList>("values"); // permanent read write delete full

    QTest::newRow("every right, permanent") << "alice:PRWDF" << QStringList{"1", "1", "1", "1", "1"};
    // Full control alone grants everything without the other three set.
    QTest::newRow("full control only") << "alice:F" << QStringList{"0", "0", "0", "0", "1"};
    QTest::newRow("read and delete") << "carol:RD" << QStringList{"0", "1", "0", "1", "0"};
    QTest::newRow("permanent, no right") << "carol:P" << QStringList{"1", "0", "0", "0", "0"};
    QTest::newRow("everybody, write") << "allusers:W" << QStringList{"0", "0", "1", "0", "0"};
}

void tst_PermissionRows::rowRoundTrip()
{
    QFETCH(QString, spec);
    QFETCH(QStringList, values);
    std::unique_ptr<uiPermissionWidget> row(FolderSharingFixture::row(spec));
    auto record = QSharedPointer<WDataStructure>::create();
    row->writePermission(record);

    const QString user = spec.section(':', 0, 0);
    QStringList keys;
    for (int i = 0; i < record->size(); ++i)
        keys << record->GetKey(i);
    QCOMPARE(keys, QStringList({"validTo", "username", "permanent", "read", "write", "delete", "full", "section"}));
    QCOMPARE(record->gv("validTo"), QStringLiteral("2031-05-17"));
    QCOMPARE(record->gv("username"), user);
    QCOMPARE(record->gv("section"), user);
    QCOMPARE(QStringList({record->gv("permanent"), record->gv("read"), record->gv("write"), record->gv("delete"),
                          record->gv("full")}),
             values);
    QCOMPARE(row->hasAnyRight(), values.mid(1).contains("1"));

    uiPermissionWidget reread;
    reread.readPermission(record);
    auto again = QSharedPointer<WDataStructure>::create();
    reread.writePermission(again);
    QCOMPARE(again->SerializeStructure(), record->SerializeStructure());
    QCOMPARE(reread.getUsername(), user);
}

void tst_PermissionRows::damagedRecord_data()
{
    QTest::addColumn<QString>("validTo");
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QDate>("shownDate");
    QTest::addColumn<bool>("checked");

    const QDate today = QDate::currentDate();
    QTest::newRow("date and time") << "2030-01-02T10:20:30" << "1" << QDate(2030, 1, 2) << true;
    QTest::newRow("no date") << "" << "7" << today << true;
    QTest::newRow("unreadable date") << "next week" << "0" << today << false;
    QTest::newRow("flag as a word") << "2030-01-02" << "yes" << QDate(2030, 1, 2) << false;
    QTest::newRow("flag with blanks") << "2030-01-02" << " 1 " << QDate(2030, 1, 2) << true;
}

void tst_PermissionRows::damagedRecord()
{
    QFETCH(QString, validTo);
    QFETCH(QString, flag);
    QFETCH(QDate, shownDate);
    QFETCH(bool, checked);
    auto record = QSharedPointer<WDataStructure>::create();
    record->sv("username", "alice");
    if (!validTo.isEmpty())
        record->sv("validTo", validTo);
    for (const char *key : {"permanent", "read", "write", "delete", "full"})
        record->sv(key, flag);

    uiPermissionWidget row;
    row.readPermission(record);
    QCOMPARE(row.findChild<QDateEdit *>("dateEdit")->date(), shownDate);
    for (const char *box : {"checkBox_permission", "checkBox_read", "checkBox_write", "checkBox_delete", "checkBox_full"})
        QCOMPARE(row.findChild<QCheckBox *>(box)->isChecked(), checked);
    QCOMPARE(row.hasAnyRight(), checked);
}

void tst_PermissionRows::applyRows_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("pushes");
    QTest::addColumn<bool>("saved");

    const QString off = QStringLiteral("disconnect:%1 ") + FolderSharingFixture::Root;
    QTest::newRow("two users granted") << QStringList{} << QStringList{"carol:W", "alice:R"}
                                       << QStringList{"carol", "alice"} << QStringList{"shared:alice", "shared:carol"}
                                       << true;
    QTest::newRow("a row without a right") << QStringList{} << QStringList{"alice:R", "carol:P"}
                                           << QStringList{"alice"} << QStringList{off.arg("carol"), "shared:alice"}
                                           << true;
    QTest::newRow("one user removed") << QStringList{"alice:R", "carol:R"} << QStringList{"alice:RW"}
                                      << QStringList{"alice"} << QStringList{off.arg("carol"), "shared:alice"} << true;
    QTest::newRow("every user removed") << QStringList{"alice:R", "carol:F"} << QStringList{} << QStringList{}
                                        << QStringList{off.arg("alice"), off.arg("carol")} << true;
    QTest::newRow("removed row, then no right") << QStringList{"alice:R", "carol:R"} << QStringList{"carol:P"}
                                                << QStringList{} << QStringList{off.arg("alice"), off.arg("carol")}
                                                << true;
    QTest::newRow("everybody granted") << QStringList{} << QStringList{"allusers:R", "alice:R"}
                                       << QStringList{"allusers", "alice"} << QStringList{"shared:alice"} << true;
    QTest::newRow("everybody removed") << QStringList{"allusers:R", "carol:R"} << QStringList{"allusers:P"}
                                       << QStringList{} << QStringList{off.arg("carol")} << true;
    QTest::newRow("nothing changed") << QStringList{"alice:R"} << QStringList{"alice:R"} << QStringList{"alice"}
                                     << QStringList{"shared:alice"} << false;
    QTest::newRow("nothing before, nothing after") << QStringList{} << QStringList{} << QStringList{}
                                                   << QStringList{} << false;
}

void tst_PermissionRows::applyRows()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, rows);
    QFETCH(QStringList, stored);
    QFETCH(QStringList, pushes);
    QFETCH(bool, saved);
    apply(FolderSharingFixture::Root, before);
    m_share->takePushes();
    const int savesBefore = m_share->bob().saves;

    apply(FolderSharingFixture::Root, rows);
    QCOMPARE(m_share->stored(), stored);
    QCOMPARE(m_share->takePushes(), pushes);
    QCOMPARE(m_share->bob().saves - savesBefore, saved ? 1 : 0);
}

void tst_PermissionRows::contactsFollowTheGrant()
{
    apply(FolderSharingFixture::Root, {"alice:R", "carol:P"});
    QCOMPARE(m_share->knownBy("alice"), QStringList{FolderSharingFixture::Root});
    QCOMPARE(m_share->knownBy("carol"), QStringList{});

    apply(FolderSharingFixture::Root, {"carol:F"});
    QCOMPARE(m_share->knownBy("alice"), QStringList{});
    QCOMPARE(m_share->knownBy("carol"), QStringList{FolderSharingFixture::Root});

    // Withdrawing every user reaches the last one too.
    apply(FolderSharingFixture::Root, {});
    QCOMPARE(m_share->knownBy("carol"), QStringList{});
}

void tst_PermissionRows::firstApplyOnADiscRootMakesItsRecord()
{
    QCOMPARE(m_share->stored(), QStringList{"-"});
    apply(FolderSharingFixture::Root, {"carol:P"});
    const auto root = m_share->main().engine()->getSharedFolderByPath(m_share->disc, QString());
    QVERIFY(root);
    QCOMPARE(root->gv("section"), QStringLiteral("root"));
    QCOMPARE(root->gv("path"), QString());
    QCOMPARE(m_share->stored(), QStringList{});
    QCOMPARE(m_share->takePushes(), QStringList{"disconnect:carol vls/bob/docs/root"});

    // The second apply finds it: still one root record.
    apply(FolderSharingFixture::Root, {"alice:R"});
    QCOMPARE(m_share->main().engine()->getSharedDisc(m_share->disc)->childCount(), 1);
    QCOMPARE(m_share->stored(), QStringList{"alice"});
}

void tst_PermissionRows::subfolderRecordsAreMadeUnique()
{
    QDir().mkpath(m_share->docs() + "/other/sub");
    apply(FolderSharingFixture::Root + "/sub", {});
    apply(FolderSharingFixture::Root + "/other/sub", {"alice:R"});
    const auto engine = m_share->main().engine();
    QCOMPARE(engine->getSharedFolderByPath(m_share->disc, "/sub")->gv("section"), QStringLiteral("sub"));
    QCOMPARE(engine->getSharedFolderByPath(m_share->disc, "/other/sub")->gv("section"), QStringLiteral("sub1"));
    QCOMPARE(m_share->stored("/sub"), QStringList{});
    QCOMPARE(m_share->stored("/other/sub"), QStringList{"alice"});
    QCOMPARE(m_share->knownBy("alice"), QStringList{"vls/bob/docs/sub1"});

    // The folder's own path names the same record.
    apply("vls/bob/docs/sub1", {"carol:R"});
    QCOMPARE(m_share->stored("/other/sub"), QStringList{"carol"});
    QCOMPARE(m_share->knownBy("alice"), QStringList{});
}

void tst_PermissionRows::pathsOfOtherDiscsStoreNothing_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("a contact's disc") << "vrs/alice/docs/root";
    QTest::newRow("a contact's disc named like ours") << "vls/alice/docs/root";
    QTest::newRow("no such disc") << "vls/bob/music/root";
    QTest::newRow("no such shared folder") << "vls/bob/docs/nosuch";
    QTest::newRow("no path") << "";
}

void tst_PermissionRows::pathsOfOtherDiscsStoreNothing()
{
    QFETCH(QString, path);
    apply(FolderSharingFixture::Root, {"carol:R"});
    m_share->takePushes();
    const QString account = m_share->accountText();
    const int saves = m_share->bob().saves;

    apply(path, {"alice:RWDF", "carol:P"});
    QCOMPARE(m_share->accountText(), account);
    QCOMPARE(m_share->takePushes(), QStringList{});
    QCOMPARE(int(m_share->bob().saves), saves);
    QCOMPARE(FolderPermissions(m_share->main()).permittedUsers(path).isNull(), true);
}

WIVORA_TEST_MAIN(tst_PermissionRows)
#include "tst_PermissionRows.moc"
