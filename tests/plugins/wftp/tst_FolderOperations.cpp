// Listing, creating, renaming, deleting and checking on a shared disc.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <QDirIterator>
#include <QtTest>

#include <unistd.h>

class tst_FolderOperations : public QObject
{
    Q_OBJECT

private slots:
    void listingRows();
    void listingNeedsAnyRight();
    void createDirectory_data();
    void createDirectory();
    void createDirectoryReportsMkpath();
    void rename_data();
    void rename();
    void deleteChecksEveryPathFirst();
    void deleteNeverFollowsLinks();
    void deleteKeepsHiddenEntries();
    void deleteReportsWhatStayed();
    void checkFileExist();
};

void tst_FolderOperations::listingRows()
{
    ShareFixture fixture;
    QVERIFY(ShareFixture::writeFile(fixture.docs() + "/.hidden", "h"));
    QVERIFY(ShareFixture::writeFile(fixture.docs() + "/README", "r"));
    QVERIFY(QFile::link(fixture.docs() + "/a.txt", fixture.docs() + "/link"));
    fixture.grant("bob", "root", {"1"});
    fixture.grant("bob", "pub", {"1"});

    const auto rows = fixture.engine.listDirectory(ShareFixture::vpath("root"), "bob").getChildren();
    QStringList names;
    for (const auto &row : rows)
        names << row->gv("Name");
    QCOMPARE(names, QStringList({".hidden", "README", "a.txt", "pub"}));
    QCOMPARE(rows[1]->gv("Extension"), QStringLiteral("README"));
    QCOMPARE(rows[2]->gv("Extension"), QStringLiteral("txt"));
    QCOMPARE(rows[2]->gv("Size"), QStringLiteral("5"));
    QCOMPARE(rows[2]->gv("Directory"), QStringLiteral("0"));
    QVERIFY(QDateTime::fromString(rows[2]->gv("Modified"), Qt::ISODate).isValid());
    QCOMPARE(rows[3]->gv("Extension"), QStringLiteral("directory"));
    QCOMPARE(rows[3]->gv("Directory"), QStringLiteral("1"));
    // Only the owner learns which folders are shared.
    QCOMPARE(rows[3]->gv("isShared"), QStringLiteral("0"));
    const auto own = fixture.engine.listDirectory(ShareFixture::vpath("root"), "alice").getChildren();
    QCOMPARE(own[3]->gv("isShared"), QStringLiteral("1"));

    // The row survives the text form a peer receives.
    WDataStructure parsed;
    QVERIFY(parsed.DeserializeStructure(fixture.engine.listDirectory(ShareFixture::vpath("pub"), "bob").SerializeStructure()));
    QCOMPARE(parsed.GetStructureByPos(0)->gv("Name"), QStringLiteral("p.txt"));
}

void tst_FolderOperations::listingNeedsAnyRight()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"0", "0", "1"});
    QCOMPARE(fixture.engine.listDirectory(ShareFixture::vpath("pub"), "bob").childCount(), 1);
    QCOMPARE(fixture.engine.listDirectory(ShareFixture::vpath("root"), "bob").childCount(), 0);
    QCOMPARE(fixture.engine.listDirectory(ShareFixture::vpath("pub"), "carol").childCount(), 0);
    QCOMPARE(fixture.engine.listDirectory(ShareFixture::vpath("pub/.."), "alice").childCount(), 0);
}

void tst_FolderOperations::createDirectory_data()
{
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("created"); // relative to docs; empty: refused
    QTest::newRow("nested") << "pub" << "a/b" << "pub/a/b";
    QTest::newRow("trailing separators") << "pub/" << "c//" << "pub/c";
    QTest::newRow("dotdot name") << "pub" << "../x" << "";
    QTest::newRow("dotdot deeper") << "pub" << "a/../../x" << "";
    QTest::newRow("dot name") << "pub" << "./x" << "";
    QTest::newRow("empty name") << "pub" << "" << "";
    QTest::newRow("through a link out") << "pub" << "out/x" << "";
    QTest::newRow("parent escapes") << "pub/.." << "x" << "";
    QTest::newRow("no write on root") << "root" << "x" << "";
    QTest::newRow("over a file") << "pub" << "p.txt/x" << "";
}

void tst_FolderOperations::createDirectory()
{
    QFETCH(QString, parent);
    QFETCH(QString, name);
    QFETCH(QString, created);
    ShareFixture fixture;
    QVERIFY(QFile::link(fixture.outside(), fixture.docs() + "/pub/out"));
    fixture.grant("bob", "pub", {"1", "1"});
    fixture.grant("bob", "root", {"1"});
    const QByteArray before = fixture.outsideState();
    QCOMPARE(fixture.engine.createDirectory(ShareFixture::vpath(parent), name, "bob"), !created.isEmpty());
    if (!created.isEmpty())
        QVERIFY(QFileInfo(fixture.docs() + "/" + created).isDir());
    QCOMPARE(fixture.outsideState(), before);
    QVERIFY(!QFileInfo::exists(fixture.root.path() + "/x"));
    QVERIFY(!QFileInfo::exists(fixture.docs() + "/x"));
}

void tst_FolderOperations::createDirectoryReportsMkpath()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "1"});
    // A name longer than the file system takes: mkpath fails, also for root.
    QVERIFY(!fixture.engine.createDirectory(ShareFixture::vpath("pub"), QString(300, 'n'), "bob"));
}

void tst_FolderOperations::rename_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("renamed");
    QTest::newRow("inside pub") << "pub/p.txt" << "pub/q.txt" << true;
    QTest::newRow("folder") << "pub/dir" << "pub/dir2" << true;
    QTest::newRow("into read-only root") << "pub/p.txt" << "root/p.txt" << false;
    QTest::newRow("from read-only root") << "root/a.txt" << "pub/a.txt" << false;
    QTest::newRow("onto existing") << "pub/p.txt" << "pub/other.txt" << false;
    QTest::newRow("share base") << "pub" << "pub/moved" << false;
    QTest::newRow("onto share base") << "pub/p.txt" << "pub" << false;
    QTest::newRow("out with dotdot") << "pub/p.txt" << "pub/../../outside/p.txt" << false;
    QTest::newRow("through a link out") << "pub/p.txt" << "pub/out/p.txt" << false;
    QTest::newRow("missing source") << "pub/none" << "pub/none2" << false;
}

void tst_FolderOperations::rename()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, renamed);
    ShareFixture fixture;
    QVERIFY(QDir().mkpath(fixture.docs() + "/pub/dir"));
    QVERIFY(ShareFixture::writeFile(fixture.docs() + "/pub/other.txt", "other"));
    QVERIFY(QFile::link(fixture.outside(), fixture.docs() + "/pub/out"));
    fixture.grant("bob", "pub", {"1", "1"});
    fixture.grant("bob", "root", {"1", "0", "1"});
    const QByteArray before = fixture.outsideState();
    const QString source = fixture.engine.translateToLocal(ShareFixture::vpath(from));

    QCOMPARE(fixture.engine.renameFile(ShareFixture::vpath(from), ShareFixture::vpath(to), "bob"), renamed);
    if (!source.isEmpty() && from != "pub/none" && from != "pub")
        QCOMPARE(QFileInfo::exists(source), !renamed);
    QCOMPARE(ShareFixture::readFile(fixture.docs() + "/pub/other.txt"), QByteArray("other"));
    QCOMPARE(fixture.outsideState(), before);
}

void tst_FolderOperations::deleteChecksEveryPathFirst()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "0", "1"});
    fixture.grant("bob", "root", {"1", "1"});
    // The second path lies where bob may not delete: nothing goes.
    QVERIFY(!fixture.engine.deleteFiles({ShareFixture::vpath("pub/p.txt"), ShareFixture::vpath("root/a.txt")}, "bob"));
    QVERIFY(QFile::exists(fixture.docs() + "/pub/p.txt"));
    QVERIFY(QFile::exists(fixture.docs() + "/a.txt"));
    // Nor when one path escapes or names the share itself.
    QVERIFY(!fixture.engine.deleteFiles({ShareFixture::vpath("pub/p.txt"), ShareFixture::vpath("pub/../../outside")}, "bob"));
    QVERIFY(!fixture.engine.deleteFiles({ShareFixture::vpath("pub")}, "bob"));
    QVERIFY(!fixture.engine.deleteFiles({}, "bob"));
    QVERIFY(QFile::exists(fixture.docs() + "/pub/p.txt"));
    QVERIFY(QFile::exists(fixture.outside() + "/secret.txt"));
    // Read and write without delete do not delete.
    QVERIFY(!fixture.engine.deleteFiles({ShareFixture::vpath("root/a.txt")}, "bob"));
    QVERIFY(fixture.engine.deleteFiles({ShareFixture::vpath("pub/p.txt")}, "bob"));
    QVERIFY(!QFile::exists(fixture.docs() + "/pub/p.txt"));
}

void tst_FolderOperations::deleteNeverFollowsLinks()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1", "0", "1"});
    const QString tree = fixture.docs() + "/pub/tree";
    QVERIFY(QDir().mkpath(tree + "/sub"));
    QVERIFY(QFile::link(fixture.outside(), tree + "/out"));
    QVERIFY(QFile::link(fixture.docs(), tree + "/sub/loop"));
    QVERIFY(QFile::link(fixture.outside() + "/secret.txt", tree + "/secret"));
    const QByteArray before = fixture.outsideState();

    QVERIFY(fixture.engine.deleteFiles({ShareFixture::vpath("pub/tree")}, "bob"));
    QVERIFY(!QFileInfo::exists(tree));
    QCOMPARE(fixture.outsideState(), before);
    QVERIFY(QFile::exists(fixture.docs() + "/a.txt"));
}

// Hidden entries stay, and with them the folders that hold them; the asker
// learns which of the folders it named were kept.
void tst_FolderOperations::deleteKeepsHiddenEntries()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"0", "0", "1"});
    const QString pub = fixture.docs() + "/pub";
    QVERIFY(QDir().mkpath(pub + "/d/.git/objects"));
    QVERIFY(QDir().mkpath(pub + "/d/sub/deeper"));
    QVERIFY(QDir().mkpath(pub + "/d/plain"));
    QVERIFY(QDir().mkpath(pub + "/clean/inner"));
    for (const char *file : {"/d/.env", "/d/.git/objects/x", "/d/sub/.keep", "/d/a.txt", "/d/sub/b.txt",
                             "/d/sub/deeper/c.txt", "/d/plain/e.txt", "/clean/f.txt", "/clean/inner/g.txt"})
        QVERIFY(ShareFixture::writeFile(pub + file, "x"));

    QStringList kept;
    QVERIFY(fixture.engine.deleteFiles({ShareFixture::vpath("pub/d"), ShareFixture::vpath("pub/clean")}, "bob", &kept));
    QCOMPARE(kept, QStringList{ShareFixture::vpath("pub/d")});
    QMap<QString, QByteArray> left;
    QDirIterator it(pub, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        left.insert(path.mid(pub.size()), QFileInfo(path).isDir() ? QByteArray("dir") : ShareFixture::readFile(path));
    }
    const QMap<QString, QByteArray> expected{{"/p.txt", "public"}, {"/d", "dir"}, {"/d/.env", "x"},
                                             {"/d/.git", "dir"},   {"/d/.git/objects", "dir"},
                                             {"/d/.git/objects/x", "x"}, {"/d/sub", "dir"}, {"/d/sub/.keep", "x"}};
    QCOMPARE(left, expected);
}

void tst_FolderOperations::deleteReportsWhatStayed()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"0", "0", "1"});
    // The second deletion of one path fails: the whole request reports it.
    QVERIFY(!fixture.engine.deleteFiles({ShareFixture::vpath("pub/p.txt"), ShareFixture::vpath("pub/p.txt")}, "bob"));
    QVERIFY(!QFile::exists(fixture.docs() + "/pub/p.txt"));
    if (::geteuid() == 0)
        QSKIP("root ignores folder permissions");
    const QString locked = fixture.docs() + "/pub/locked";
    QVERIFY(QDir().mkpath(locked));
    QVERIFY(ShareFixture::writeFile(locked + "/stays", "x"));
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    QVERIFY(!fixture.engine.deleteFiles({ShareFixture::vpath("pub/locked")}, "bob"));
    QVERIFY(QFile::exists(locked + "/stays"));
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void tst_FolderOperations::checkFileExist()
{
    ShareFixture fixture;
    fixture.grant("bob", "pub", {"1"});
    QVERIFY(QFile::link(fixture.outside() + "/secret.txt", fixture.docs() + "/pub/s"));
    QVERIFY(fixture.engine.checkFileExist(ShareFixture::vpath("pub/p.txt"), "bob"));
    QVERIFY(fixture.engine.checkFileExist(ShareFixture::vpath("pub"), "bob"));
    QVERIFY(!fixture.engine.checkFileExist(ShareFixture::vpath("pub/none"), "bob"));
    QVERIFY(!fixture.engine.checkFileExist(ShareFixture::vpath("pub/s"), "bob"));
    QVERIFY(!fixture.engine.checkFileExist(ShareFixture::vpath("pub/../../outside/secret.txt"), "bob"));
    QVERIFY(!fixture.engine.checkFileExist(ShareFixture::vpath("root/a.txt"), "bob"));
}

WIVORA_TEST_GUILESS_MAIN(tst_FolderOperations)
#include "tst_FolderOperations.moc"
