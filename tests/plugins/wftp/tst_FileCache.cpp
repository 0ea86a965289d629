// The listing cache of alice's plug-in on real files, filled from bob's
// plug-in over the in-process network.
#include "QtTestSuite.h"
#include "ShareFixture.h"
#include "TestHost.h"

#include <FileCache.h>
#include <WFtp.h>
#include <WFtpProtocol.h>

#include <QtTest>

#include <thread>

using namespace WFtpProtocol;

class tst_FileCache : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void revisitSendsNothingAndKeepsThumbnails();
    void reloadReplacesTheStoredFile();
    void missesAskTheOwner_data();
    void missesAskTheOwner();
    void namesSurviveInAnyScript();
    void anotherUsersCacheIsNotSeen();
    void slowOwnerBlocksNothingElse();
    void manyThumbnailsAreWrittenTogether();
    void madeUpRowsDoNotGrowTheCache();
    void writesStayInTheCacheFolder_data();
    void writesStayInTheCacheFolder();
    void listingOfAnEndedSessionIsNotKept();

private:
    int listingRequests() const;
    QStringList cacheFiles() const;
    static QStringList names(const WDataStructure &listing);

    std::unique_ptr<ShareFixture> m_files;
    std::unique_ptr<TestNetwork> m_network;
    std::unique_ptr<TestHost> m_alice, m_bob;
    std::unique_ptr<WFtp> m_alicePlugin, m_bobPlugin;
    std::unique_ptr<QTemporaryDir> m_cacheDir;
    QString cacheFolder(const QString &user) const { return m_cacheDir->filePath(user); }
};

void tst_FileCache::init()
{
    m_files = std::make_unique<ShareFixture>();
    m_cacheDir = std::make_unique<QTemporaryDir>();
    m_network = std::make_unique<TestNetwork>();
    m_alice = std::make_unique<TestHost>("alice", m_network.get());
    m_bob = std::make_unique<TestHost>("bob", m_network.get());
    m_alice->addContact("bob");
    m_alicePlugin = std::make_unique<WFtp>();
    m_bobPlugin = std::make_unique<WFtp>();
    m_alice->setPlugin(m_alicePlugin.get());
    m_bob->setPlugin(m_bobPlugin.get());
    WFtpEngine &engine = *m_bobPlugin->commandParser().engine();
    const QString disc = engine.addSharedDisc(m_files->docs(), "docs");
    engine.addPermittedUser(ShareFixture::record("alice", {"1"}), disc, "root");
    m_alicePlugin->controller().fileCache().init(cacheFolder("alice"));
}

void tst_FileCache::cleanup()
{
    m_bobPlugin->commandParser().engine()->thumbnailScheduler().waitForDone();
    m_network->quiesce();
    // Plug-ins go before their hosts, as in the program.
    m_alicePlugin.reset();
    m_bobPlugin.reset();
}

int tst_FileCache::listingRequests() const
{
    int count = 0;
    for (const KvrConfig &sent : m_alice->sentCommands())
        count += sent.gv("command") == ListDirectory;
    return count;
}

QStringList tst_FileCache::cacheFiles() const
{
    // The listing files, without the index.
    QStringList files = QDir(cacheFolder("alice")).entryList({"*.cch"}, QDir::Files, QDir::Name);
    files.removeAll("toc.cch");
    return files;
}

QStringList tst_FileCache::names(const WDataStructure &listing)
{
    QStringList found;
    for (const auto &row : listing.getChildren())
        found << row->gv("Name");
    return found;
}

void tst_FileCache::revisitSendsNothingAndKeepsThumbnails()
{
    QImage wide(80, 40, QImage::Format_RGB32);
    wide.fill(Qt::blue);
    QVERIFY(wide.save(m_files->docs() + "/wide.png"));
    FileCache &cache = m_alicePlugin->controller().fileCache();
    QCOMPARE(names(cache.getListing("vls/bob/docs/root", false).rows), QStringList({"a.txt", "pub", "wide.png"}));
    m_bobPlugin->commandParser().engine()->thumbnailScheduler().waitForDone();
    m_alice->waitIdle();
    cache.flush();

    const WDataStructure again = cache.getListing("vls/bob/docs/root", false).rows;
    QCOMPARE(listingRequests(), 1);
    QCOMPARE(names(again), QStringList({"a.txt", "pub", "wide.png"}));
    const auto picture = again.GetStructureByValue("Name", "wide.png");
    QCOMPARE(QImage::fromData(picture->GetValue("thumbnail"), "JPG").size(), QSize(100, 100));
}

void tst_FileCache::reloadReplacesTheStoredFile()
{
    FileCache &cache = m_alicePlugin->controller().fileCache();
    cache.getListing("vls/bob/docs/root", false);
    const QStringList before = cacheFiles();
    QVERIFY(ShareFixture::writeFile(m_files->docs() + "/b.txt", "beta"));
    QCOMPARE(names(cache.getListing("vls/bob/docs/root", true).rows), QStringList({"a.txt", "b.txt", "pub"}));
    QCOMPARE(listingRequests(), 2);
    const QStringList after = cacheFiles();
    // The replaced listing is gone.
    QCOMPARE(after.size(), 1);
    QVERIFY(after != before);
    QCOMPARE(names(cache.getListing("vls/bob/docs/root", false).rows), QStringList({"a.txt", "b.txt", "pub"}));
    QCOMPARE(listingRequests(), 2);
}

void tst_FileCache::missesAskTheOwner_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("stored");

    QTest::newRow("listing file deleted") << "delete" << "vls/bob/docs/root" << 1;
    QTest::newRow("listing file damaged") << "garble" << "vls/bob/docs/root" << 1;
    QTest::newRow("empty folder, never stored") << "" << "vls/bob/docs/root/empty" << 0;
}

void tst_FileCache::missesAskTheOwner()
{
    QFETCH(QString, damage);
    QFETCH(QString, folder);
    QFETCH(int, stored);

    QVERIFY(QDir().mkpath(m_files->docs() + "/empty"));
    FileCache &cache = m_alicePlugin->controller().fileCache();
    cache.getListing(folder, false);
    for (const QString &file : cacheFiles()) {
        const QString path = cacheFolder("alice/" + file);
        if (damage == "delete")
            QVERIFY(QFile::remove(path));
        else
            QVERIFY(ShareFixture::writeFile(path, "\x01garbage"));
    }
    const WDataStructure second = cache.getListing(folder, false).rows;
    QCOMPARE(listingRequests(), 2);
    QCOMPARE(second.childCount() > 0, stored > 0);
    QCOMPARE(cacheFiles().size(), stored);
}

void tst_FileCache::namesSurviveInAnyScript()
{
    const QStringList unusual = {QString::fromUtf8("Фотографии.txt"), QString::fromUtf8("写真.txt")};
    for (const QString &name : unusual)
        QVERIFY(ShareFixture::writeFile(m_files->docs() + "/pub/" + name, "x"));
    FileCache &cache = m_alicePlugin->controller().fileCache();
    const QStringList asked = names(cache.getListing("vls/bob/docs/root/pub", false).rows);
    QCOMPARE(names(cache.getListing("vls/bob/docs/root/pub", false).rows), asked);
    QCOMPARE(listingRequests(), 1);
    for (const QString &name : unusual)
        QVERIFY(asked.contains(name));
}

void tst_FileCache::anotherUsersCacheIsNotSeen()
{
    FileCache &cache = m_alicePlugin->controller().fileCache();
    cache.getListing("vls/bob/docs/root", false);
    QVERIFY(ShareFixture::writeFile(cacheFolder("alice/{orphan}.cch"), "left"));
    cache.init(cacheFolder("erin"));
    cache.getListing("vls/bob/docs/root", false);
    QCOMPARE(listingRequests(), 2);
    // Back to alice's: her listing is there, the orphan is gone.
    cache.init(cacheFolder("alice"));
    QVERIFY(!QFile::exists(cacheFolder("alice/{orphan}.cch")));
    QCOMPARE(cacheFiles().size(), 1);
    cache.getListing("vls/bob/docs/root", false);
    QCOMPARE(listingRequests(), 2);
}

void tst_FileCache::slowOwnerBlocksNothingElse()
{
    FileCache &cache = m_alicePlugin->controller().fileCache();
    cache.getListing("vls/bob/docs/root", false);
    // bob now holds back his answers until the test lets them go.
    m_bob->setPlugin(nullptr);
    std::atomic<bool> release{false};
    std::thread owner([&] {
        QList<KvrConfig> asked;
        while (asked.isEmpty()) {
            asked = m_bob->takeAll(ListDirectory);
            QThread::msleep(5);
        }
        while (!release)
            QThread::msleep(5);
        KvrConfig reply;
        reply.sv("ID", asked[0].GetID());
        reply.sv("command", ListDirectory + ReplySuffix);
        reply.SetResult(true);
        reply.sv("list", m_bobPlugin->commandParser().engine()->listDirectory("vls/bob/docs/root/pub", "alice").SerializeStructure());
        m_bob->sendCommand(reply, "alice", false, QString());
    });
    WDataStructure slow;
    std::thread asker([&] { slow = cache.getListing("vls/bob/docs/root/pub", false).rows; });
    while (listingRequests() < 2)
        QThread::msleep(5);

    QElapsedTimer meanwhile;
    meanwhile.start();
    QCOMPARE(names(cache.getListing("vls/bob/docs/root", false).rows), QStringList({"a.txt", "pub"}));
    auto row = QSharedPointer<WDataStructure>::create();
    row->sv("Name", "a.txt");
    row->sv("Size", "5");
    row->SetValue("thumbnail", QByteArray("jpeg"));
    cache.updateEntry(row, "vls/bob/docs/root");
    cache.flush();
    QVERIFY2(meanwhile.elapsed() < 5000, qPrintable(QString::number(meanwhile.elapsed())));
    QCOMPARE(cache.getListing("vls/bob/docs/root", false).rows.GetStructureByValue("Name", "a.txt")->GetValue("thumbnail"),
             QByteArray("jpeg"));

    release = true;
    asker.join();
    owner.join();
    QCOMPARE(names(slow), QStringList({"p.txt"}));
}

void tst_FileCache::manyThumbnailsAreWrittenTogether()
{
    for (int i = 0; i < 1000; ++i)
        QVERIFY(ShareFixture::writeFile(m_files->docs() + QString("/pub/f%1.jpg").arg(i, 4, 10, QChar('0')), "x"));
    FileCache &cache = m_alicePlugin->controller().fileCache();
    QCOMPARE(cache.getListing("vls/bob/docs/root/pub", false).rows.childCount(), 1001);
    m_bobPlugin->commandParser().engine()->thumbnailScheduler().waitForDone();
    m_alice->waitIdle();
    cache.flush();
    const int writesBefore = cache.listingWrites();

    QElapsedTimer took;
    took.start();
    std::vector<std::thread> deliveries;
    for (int t = 0; t < 4; ++t) {
        deliveries.emplace_back([&cache, t] {
            for (int i = t; i < 1000; i += 4) {
                auto row = QSharedPointer<WDataStructure>::create();
                row->sv("Name", QString("f%1.jpg").arg(i, 4, 10, QChar('0')));
                row->SetValue("thumbnail", QByteArray::number(i));
                cache.updateEntry(row, "vls/bob/docs/root/pub");
            }
        });
    }
    for (auto &thread : deliveries)
        thread.join();
    cache.flush();
    QVERIFY2(took.elapsed() < 30000, qPrintable(QString::number(took.elapsed())));
    QVERIFY2(cache.listingWrites() - writesBefore <= 10, qPrintable(QString::number(cache.listingWrites() - writesBefore)));
    const WDataStructure merged = cache.getListing("vls/bob/docs/root/pub", false).rows;
    QCOMPARE(merged.childCount(), 1001);
    QCOMPARE(merged.GetStructureByValue("Name", "f0999.jpg")->GetValue("thumbnail"), QByteArray("999"));
}

// A contact pushes thumbnails for 2000 files its folder does not hold, each
// with a thumbnail of a few kilobytes: the stored listing keeps its rows.
void tst_FileCache::madeUpRowsDoNotGrowTheCache()
{
    FileCache &cache = m_alicePlugin->controller().fileCache();
    QCOMPARE(names(cache.getListing("vls/bob/docs/root", false).rows), QStringList({"a.txt", "pub"}));
    for (int i = 0; i < 2000; ++i) {
        auto row = QSharedPointer<WDataStructure>::create();
        row->sv("Name", QString("made-up-%1.jpg").arg(i));
        row->SetValue("thumbnail", QByteArray(4000, 'j'));
        cache.updateEntry(row, "vls/bob/docs/root");
    }
    auto huge = QSharedPointer<WDataStructure>::create();
    huge->sv("Name", "a.txt");
    huge->SetValue("thumbnail", QByteArray(FileCache::MaxRowBytes, 'j'));
    cache.updateEntry(huge, "vls/bob/docs/root");
    cache.flush();
    QCOMPARE(names(cache.getListing("vls/bob/docs/root", false).rows), QStringList({"a.txt", "pub"}));
    QVERIFY(cache.getListing("vls/bob/docs/root", false).rows.GetStructureByValue("Name", "a.txt")->GetValue("thumbnail").isEmpty());
    qint64 stored = 0;
    for (const QString &file : QDir(cacheFolder("alice")).entryList(QDir::Files | QDir::Hidden))
        stored += QFileInfo(cacheFolder("alice/" + file)).size();
    QVERIFY2(stored < 4096, qPrintable(QString::number(stored)));
}

void tst_FileCache::writesStayInTheCacheFolder_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("index names a file two folders up") << "name";
    QTest::newRow("index is a link") << "index link";
    QTest::newRow("cache folder is a link") << "folder link";
}

// Whatever the cache folder holds, the cache writes and deletes only in it.
void tst_FileCache::writesStayInTheCacheFolder()
{
    QFETCH(QString, damage);
    const QString folder = cacheFolder("a/b/cache");
    const QString outside = cacheFolder("outside");
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QDir().mkpath(cacheFolder("a/b")));
    QVERIFY(ShareFixture::writeFile(cacheFolder("a/x.cch"), "someone's"));
    QVERIFY(ShareFixture::writeFile(outside + "/toc.cch", "someone's"));
    if (damage == "name") {
        QVERIFY(QDir().mkpath(folder));
        KvrConfig index;
        index.sv("vls/bob/docs/root", "../../x");
        QVERIFY(index.SaveConfig(folder + "/toc.cch"));
    } else if (damage == "index link") {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::link(outside + "/toc.cch", folder + "/toc.cch"));
    } else {
        QVERIFY(QFile::link(outside, folder));
    }
    QMap<QString, QByteArray> before;
    for (const QString &file : {cacheFolder("a/x.cch"), outside + "/toc.cch"})
        before.insert(file, ShareFixture::readFile(file));

    FileCache &cache = m_alicePlugin->controller().fileCache();
    cache.init(folder);
    QCOMPARE(names(cache.getListing("vls/bob/docs/root", true).rows), QStringList({"a.txt", "pub"}));
    cache.init(folder);
    QCOMPARE(names(cache.getListing("vls/bob/docs/root", false).rows), QStringList({"a.txt", "pub"}));
    QCOMPARE(listingRequests(), 1);
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(ShareFixture::readFile(it.key()), it.value());
    QCOMPARE(QDir(outside).entryList(QDir::Files | QDir::Hidden), QStringList{"toc.cch"});
    QVERIFY(!QFileInfo(folder).isSymLink() && !QFileInfo(folder + "/toc.cch").isSymLink());
}

// A listing asked for before a logout and another user's login arrives
// after it: it goes to nobody's cache.
void tst_FileCache::listingOfAnEndedSessionIsNotKept()
{
    const QString erins = cacheFolder("erin");
    FileCache cache;
    cache.init(cacheFolder("alice"));
    cache.setLister([&](const QString &path) {
        cache.init(erins);
        return FolderListing{m_bobPlugin->commandParser().engine()->listDirectory(path, "alice")};
    });
    cache.getListing("vls/bob/docs/root", false);
    cache.setLister({});
    QCOMPARE(cache.getListing("vls/bob/docs/root", false).error, FolderListing::Error::Refused);
    QCOMPARE(QDir(erins).entryList({"*.cch"}, QDir::Files), QStringList());
}

WIVORA_TEST_GUILESS_MAIN(tst_FileCache)
#include "tst_FileCache.moc"
