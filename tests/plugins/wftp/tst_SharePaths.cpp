// Virtual paths: splitting, the safe resolver and the discs a user sees.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <QtTest>

class tst_SharePaths : public QObject
{
    Q_OBJECT

private slots:
    void splitPath_data();
    void splitPath();
    void resolver_data();
    void resolver();
    void resolverFollowsLinksOnlyInside();
    void visibleDiscs();
    void usersSharedDiscsFilterByDisc();
    void fileNameAndExtension_data();
    void fileNameAndExtension();
};

void tst_SharePaths::splitPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("parts"); // discType, owner, discname, root, path
    QTest::newRow("disc root") << "vls/alice/Music" << QStringList{"vls", "alice", "Music", "root", ""};
    QTest::newRow("explicit root") << "vls/alice/Music/root" << QStringList{"vls", "alice", "Music", "root", ""};
    QTest::newRow("doubled separators") << "vls//alice/Music//photos//a.jpg"
                                        << QStringList{"vls", "alice", "Music", "photos", "/a.jpg"};
    QTest::newRow("rest by position") << "vls/groot/rootfolder/root/x"
                                      << QStringList{"vls", "groot", "rootfolder", "root", "/x"};
    QTest::newRow("one part") << "vls" << QStringList{"vls", "", "", "root", ""};
    QTest::newRow("two parts") << "vls/alice" << QStringList{"vls", "alice", "", "root", ""};
}

void tst_SharePaths::splitPath()
{
    QFETCH(QString, path);
    QFETCH(QStringList, parts);
    ShareFixture fixture;
    const KvrConfig split = fixture.engine.splitPath(path);
    const QStringList keys{"discType", "owner", "discname", "root", "path"};
    for (int i = 0; i < keys.size(); ++i)
        QCOMPARE(split.gv(keys[i]), parts[i]);
    QCOMPARE(fixture.engine.splitPath(QString()).size(), 0);
    QCOMPARE(fixture.engine.splitPath("///").size(), 0);
}

void tst_SharePaths::resolver_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("local"); // relative to the temporary root; empty: refused
    QTest::newRow("disc root") << "vls/alice/docs" << "docs";
    QTest::newRow("file in root") << "vls/alice/docs/root/a.txt" << "docs/a.txt";
    QTest::newRow("shared folder") << "vls/alice/docs/pub/p.txt" << "docs/pub/p.txt";
    QTest::newRow("new name in folder") << "vls/alice/docs/pub/new.txt" << "docs/pub/new.txt";
    QTest::newRow("backslash is a name") << "vls/alice/docs/root/a\\b" << "docs/a\\b";
    QTest::newRow(".. after folder") << "vls/alice/docs/pub/../a.txt" << "";
    QTest::newRow(".. out of root") << "vls/alice/docs/root/../../outside/secret.txt" << "";
    QTest::newRow(".. as last") << "vls/alice/docs/root/.." << "";
    QTest::newRow(". inside") << "vls/alice/docs/root/./a.txt" << "";
    QTest::newRow(".. as folder") << "vls/alice/docs/../outside" << "";
    QTest::newRow(".. as disc") << "vls/alice/../docs" << "";
    QTest::newRow(".. as owner") << "vls/../alice/docs" << "";
    QTest::newRow("unknown folder is no root") << "vls/alice/docs/nosuch/a.txt" << "";
    QTest::newRow("unknown disc") << "vls/alice/nodisc/root" << "";
    QTest::newRow("other owner") << "vls/bob/docs/root/a.txt" << "";
    QTest::newRow("owner case differs") << "vls/Alice/docs/root/a.txt" << "";
    QTest::newRow("unknown type") << "xyz/alice/docs/root/a.txt" << "";
    QTest::newRow("two parts") << "vls/alice" << "";
    QTest::newRow("NUL in name") << QStringLiteral("vls/alice/docs/root/a") + QChar(0) + "b" << "";
    QTest::newRow("missing parent") << "vls/alice/docs/root/none/x.txt" << "";
    QTest::newRow("overlong") << "vls/alice/docs/root/" + QString(5000, 'x') << "";
}

void tst_SharePaths::resolver()
{
    QFETCH(QString, path);
    QFETCH(QString, local);
    ShareFixture fixture;
    const ResolvedPath resolved = fixture.engine.resolve(path);
    QCOMPARE(resolved.ok, !local.isEmpty());
    QCOMPARE(fixture.engine.translateToLocal(path),
             local.isEmpty() ? QString() : fixture.root.path() + QLatin1Char('/') + local);
}

void tst_SharePaths::resolverFollowsLinksOnlyInside()
{
    ShareFixture fixture;
    const QString docs = fixture.docs();
    QVERIFY(QFile::link(fixture.outside() + "/secret.txt", docs + "/secret-link"));
    QVERIFY(QFile::link(fixture.outside(), docs + "/outdir"));
    QVERIFY(QFile::link(fixture.outside() + "/not-yet", docs + "/dangling"));
    QVERIFY(QFile::link(docs + "/a.txt", docs + "/pub/to-root-file"));
    QVERIFY(QFile::link(docs + "/pub/p.txt", docs + "/inner-link"));

    QVERIFY(!fixture.engine.resolve(ShareFixture::vpath("root/secret-link")).ok);
    QVERIFY(!fixture.engine.resolve(ShareFixture::vpath("root/outdir/secret.txt")).ok);
    QVERIFY(!fixture.engine.resolve(ShareFixture::vpath("root/outdir/new.txt")).ok);
    QVERIFY(!fixture.engine.resolve(ShareFixture::vpath("root/dangling")).ok);
    // Inside the same disc but outside the shared folder "pub".
    QVERIFY(!fixture.engine.resolve(ShareFixture::vpath("pub/to-root-file")).ok);
    QVERIFY(fixture.engine.resolve(ShareFixture::vpath("root/inner-link")).ok);

    // A disc whose folder is itself a link is measured by its target.
    QVERIFY(QFile::link(docs, fixture.root.path() + "/docs-link"));
    const QString linked = fixture.engine.addSharedDisc(fixture.root.path() + "/docs-link", "linked");
    QVERIFY(fixture.engine.resolve("vls/alice/" + linked + "/root/a.txt").ok);
    QVERIFY(!fixture.engine.resolve("vls/alice/" + linked + "/root/secret-link").ok);
}

void tst_SharePaths::visibleDiscs()
{
    ShareFixture fixture;
    QVERIFY(QDir().mkpath(fixture.root.path() + "/gone"));
    QVERIFY(fixture.engine.addSharedFolder(fixture.disc, "/gone-later"));
    QVERIFY(QDir().mkpath(fixture.docs() + "/gone-later"));
    // In tree order: the root entry comes into being with its first grant.
    fixture.grant("bob", "root", {"1"});
    fixture.grant("bob", "pub", {"0", "0", "1"});
    fixture.grant("bob", "gone-later", {"1"});
    fixture.grant("allusers", "pub", {"1"});
    QCOMPARE(fixture.engine.getSharedDiscs("bob"),
             QStringList({"vls/alice/docs/pub", "vls/alice/docs/gone-later", "vls/alice/docs/root"}));
    QVERIFY(QDir(fixture.docs() + "/gone-later").removeRecursively());
    QCOMPARE(fixture.engine.getSharedDiscs("bob"), QStringList({"vls/alice/docs/pub", "vls/alice/docs/root"}));
    // Covered by "allusers" only: rights, but no entry of its own.
    QVERIFY(fixture.engine.getSharedDiscs("carol").isEmpty());
    QCOMPARE(fixture.engine.getSharedDiscs("alice"), QStringList{"vls/alice/docs/root"});
}

void tst_SharePaths::usersSharedDiscsFilterByDisc()
{
    ShareFixture fixture;
    fixture.grant("bob", "root", {"1"});
    fixture.grant("bob", "pub", {"1"});
    QVERIFY(QDir().mkpath(fixture.root.path() + "/music"));
    const QString music = fixture.engine.addSharedDisc(fixture.root.path() + "/music", "music");
    fixture.engine.addPermittedUser(ShareFixture::record("carol", {"1"}), music, "root");

    const QMap<QString, QStringList> docs = fixture.engine.getUsersSharedDiscs(fixture.disc);
    QCOMPARE(docs.keys(), QStringList{"bob"});
    QCOMPARE(docs.value("bob"), QStringList({"vls/alice/docs/pub", "vls/alice/docs"}));
    QCOMPARE(fixture.engine.getUsersSharedDiscs(music).keys(), QStringList{"carol"});
    QVERIFY(fixture.engine.getUsersSharedDiscs("nodisc").isEmpty());
}

void tst_SharePaths::fileNameAndExtension_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("extension");
    QTest::newRow("plain") << "vls/a/d/root/x/a.b.txt" << "a.b.txt" << ".txt";
    QTest::newRow("no dot") << "README" << "README" << "";
    QTest::newRow("leading dot") << "x/.profile" << ".profile" << ".profile";
}

void tst_SharePaths::fileNameAndExtension()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(QString, extension);
    QCOMPARE(WFtpEngine::getFileName(path), name);
    QCOMPARE(WFtpEngine::getExtension(name), extension);
}

WIVORA_TEST_GUILESS_MAIN(tst_SharePaths)
#include "tst_SharePaths.moc"
