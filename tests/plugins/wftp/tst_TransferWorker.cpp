// The transfer worker against the real serving engine: alice's plug-in
// downloads from and uploads to bob's disc (or her own) in temporary folders.
#include "QtTestSuite.h"
#include "TransferFixture.h"

#include <PartialFile.h>
#include <TransferSlotQueue.h>
#include <TransferWorker.h>
#include <WFtpMain.h>
#include <WFtpProtocol.h>

#include <QtTest>

#include <csignal>
#include <sys/resource.h>

class tst_TransferWorker : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void copiesFolderTrees_data();
    void copiesFolderTrees();
    void chunksGrowFromTheFirstSize();
    void overwriteAnswers_data();
    void overwriteAnswers();
    void failedItemsLeaveTheTargetAsItWas_data();
    void failedItemsLeaveTheTargetAsItWas();
    void stopMidFileLeavesNoTrace();
    void haltedDownloadGoesOnInTheNextRun_data();
    void haltedDownloadGoesOnInTheNextRun();
    void hostileNamesStayInTheFolder_data();
    void hostileNamesStayInTheFolder();
    void resumesAfterTheRemoteFileWasClosed_data();
    void resumesAfterTheRemoteFileWasClosed();
    void uploadReplacesALongerFileExactly();
    void uploadWithoutWriteRightFails();
    void survivesFaults_data();
    void survivesFaults();
    void craftedListingStaysInTheFolder();
    void sourceShrinkingMidFileFailsTheItem_data();
    void sourceShrinkingMidFileFailsTheItem();
    void fileChangedSinceItsListing_data();
    void fileChangedSinceItsListing();
    void stopInAFolderLeavesNothingOpen();
    void targetThatCannotBeReplacedFails();
    void aDiscThatTakesNoMoreFailsTheFile();

private:
    std::unique_ptr<TransferFixture> m_net;
};

void tst_TransferWorker::init()
{
    m_net = std::make_unique<TransferFixture>();
}

void tst_TransferWorker::cleanup()
{
    m_net.reset();
}

void tst_TransferWorker::copiesFolderTrees_data()
{
    QTest::addColumn<bool>("download");
    QTest::addColumn<QString>("disc");
    QTest::addColumn<QString>("discFolder");
    QTest::addColumn<int>("links");
    QTest::addColumn<QString>("local");
    QTest::newRow("download from a contact") << true << "vls/bob/docs/root" << "bob" << 1 << "local";
    QTest::newRow("download from the own disc") << true << "vls/alice/docs/root" << "alice" << 0 << "local";
    QTest::newRow("download into a folder not made yet") << true << "vls/bob/docs/root" << "bob" << 1 << "local/new";
    QTest::newRow("upload to a contact") << false << "vls/bob/docs/root" << "bob" << 1 << "local";
    QTest::newRow("upload to the own disc") << false << "vls/alice/docs/root" << "alice" << 0 << "local";
}

void tst_TransferWorker::copiesFolderTrees()
{
    QFETCH(bool, download);
    QFETCH(QString, disc);
    QFETCH(QString, discFolder);
    QFETCH(int, links);
    QFETCH(QString, local);
    const QString source = m_net->path(download ? discFolder : local) + "/tree";
    const QString target = m_net->path(download ? local : discFolder) + "/tree";
    TransferFixture::makeTree(source);
    ShareFixture::writeFile(m_net->path(download ? discFolder : local) + "/single.bin", "single");

    QMap<QString, bool> items;
    if (download)
        items = {{disc + "/tree", false}, {disc + "/single.bin", true}};
    else
        items = {{m_net->path(local + "/tree"), false}, {m_net->path(local + "/single.bin"), true}};
    TransferWorker worker(m_net->main(), items, download ? m_net->path(local) : disc,
                          download ? disc : m_net->path(local), nullptr);
    QCOMPARE(worker.isDownload(), download);
    QSignalSpy finished(&worker, &TransferWorker::finished);
    QSignalSpy texts(&worker, &TransferWorker::statusText);
    worker.run();

    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toBool(), true);
    QCOMPARE(TransferFixture::tree(target), TransferFixture::tree(source));
    QCOMPARE(ShareFixture::readFile(m_net->path(download ? local : discFolder) + "/single.bin"), QByteArray("single"));
    // tree, 2 folders, 5 files in it, single.bin
    QCOMPARE(worker.completedItems(), 9);
    // A download's row names the disc as its owner does.
    QCOMPARE(texts.last().first().toString(), WFtpMain::shownPath(items.firstKey()) + " completed 9 of 9");
    QCOMPARE(m_net->alice.linksOpened.load(), links);
    // Thumbnails would only load the owner and the link.
    for (const KvrConfig &sent : m_net->alice.sentCommands()) {
        if (sent.gv("command") == WFtpProtocol::ListDirectory)
            QCOMPARE(sent.gv("getThumbnails"), QString("false"));
    }
    // Folders are made before their files arrive: nothing is left open.
    QCOMPARE(m_net->bobPlugin->commandParser().engine()->openedFileCount(), 0);
}

void tst_TransferWorker::chunksGrowFromTheFirstSize()
{
    const QByteArray source = TransferFixture::pattern(4 * 1024 * 1024);
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/big.bin"), source));
    TransferWorker worker(m_net->main(), {{"vls/bob/docs/root/big.bin", true}}, m_net->path("local"),
                          "vls/bob/docs/root", nullptr);
    QList<double> speeds;
    connect(&worker, &TransferWorker::progress, [&](const QString &, int, double speed) { speeds << speed; });
    worker.run();
    QCOMPARE(ShareFixture::readFile(m_net->path("local/big.bin")), source);

    QList<qint64> counts;
    for (const KvrConfig &sent : m_net->alice.sentCommands()) {
        if (sent.gv("command") == WFtpProtocol::ReadFile)
            counts << sent.gv("count").toLongLong();
    }
    QVERIFY(counts.size() >= 3);
    // Loopback answers well within the growth bound, so the first ones grow
    // step by step.
    QCOMPARE(counts.mid(0, 3), (QList<qint64>{10536, 21072, 31608}));
    for (qint64 count : counts)
        QVERIFY2(count <= TransferWorker::LargestChunk, qPrintable(QString::number(count)));
    for (double speed : speeds)
        QVERIFY(qIsFinite(speed) && speed > 0);
}

void tst_TransferWorker::overwriteAnswers_data()
{
    QTest::addColumn<bool>("download");
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<QString>("written"); // per target: 1 replaced, 0 kept
    QTest::addColumn<int>("questions");
    const QList<int> yes{int(TransferWorker::Answer::Yes), int(TransferWorker::Answer::No),
                         int(TransferWorker::Answer::Yes)};
    const QList<int> yesToAll{int(TransferWorker::Answer::No), int(TransferWorker::Answer::YesToAll)};
    const QList<int> noToAll{int(TransferWorker::Answer::Yes), int(TransferWorker::Answer::NoToAll)};
    for (bool download : {true, false}) {
        const char *road = download ? "download: " : "upload: ";
        QTest::newRow(QByteArray(road) + "yes, no, yes") << download << yes << "101" << 3;
        QTest::newRow(QByteArray(road) + "no, yes to all") << download << yesToAll << "011" << 2;
        QTest::newRow(QByteArray(road) + "yes, no to all") << download << noToAll << "100" << 2;
    }
}

void tst_TransferWorker::overwriteAnswers()
{
    QFETCH(bool, download);
    QFETCH(QList<int>, answers);
    QFETCH(QString, written);
    QFETCH(int, questions);
    const QString from = m_net->path(download ? "bob" : "local");
    const QString to = m_net->path(download ? "local" : "bob");
    QMap<QString, bool> items;
    for (const char *name : {"a", "b", "c"}) {
        ShareFixture::writeFile(from + '/' + name, QByteArray("new ") + name);
        ShareFixture::writeFile(to + '/' + name, QByteArray("old content of ") + name);
        items.insert((download ? QString("vls/bob/docs/root/") : from + '/') + name, true);
    }
    TransferWorker worker(m_net->main(), items, download ? to : "vls/bob/docs/root",
                          download ? "vls/bob/docs/root" : from, nullptr);
    QStringList asked;
    worker.setOverwriteQuestion([&](const QString &name) {
        asked << name;
        return TransferWorker::Answer(answers.value(asked.size() - 1, int(TransferWorker::Answer::No)));
    });
    worker.run();
    QCOMPARE(asked.size(), questions);
    QCOMPARE(asked.first(), (download ? to : QString("vls/bob/docs/root")) + "/a");
    int i = 0;
    for (const char *name : {"a", "b", "c"}) {
        const QByteArray expected =
            written.at(i++) == '1' ? QByteArray("new ") + name : QByteArray("old content of ") + name;
        QCOMPARE(ShareFixture::readFile(to + '/' + name), expected);
    }
    QCOMPARE(worker.completedItems(), written.count('1'));
}

void tst_TransferWorker::failedItemsLeaveTheTargetAsItWas_data()
{
    QTest::addColumn<QString>("item");
    QTest::newRow("missing remote file") << "vls/bob/docs/root/gone.bin";
    QTest::newRow("folder in place of a file") << "vls/bob/docs/root/folder";
    QTest::newRow("disc not shared with us") << "vls/bob/other/root/gone.bin";
}

void tst_TransferWorker::failedItemsLeaveTheTargetAsItWas()
{
    QFETCH(QString, item);
    QDir().mkpath(m_net->path("bob/folder"));
    const QString target = m_net->path("local") + item.mid(item.lastIndexOf('/'));
    QVERIFY(ShareFixture::writeFile(target, "keep me"));
    TransferWorker worker(m_net->main(), {{item, true}}, m_net->path("local"), item.left(item.lastIndexOf('/')),
                          nullptr);
    worker.setOverwriteQuestion([](const QString &) { return TransferWorker::Answer::YesToAll; });
    QSignalSpy finished(&worker, &TransferWorker::finished);
    QSignalSpy texts(&worker, &TransferWorker::statusText);
    worker.run();
    QCOMPARE(ShareFixture::readFile(target), QByteArray("keep me"));
    QCOMPARE(QDir(m_net->path("local")).entryList(QDir::Files | QDir::Hidden).size(), 1);
    QCOMPARE(worker.failedItems(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    QCOMPARE(texts.last().first().toString(), WFtpMain::shownPath(item) + " completed 0 of 1");
}

void tst_TransferWorker::stopMidFileLeavesNoTrace()
{
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/big.bin"), TransferFixture::pattern(8 * 1024 * 1024)));
    QVERIFY(ShareFixture::writeFile(m_net->path("local/big.bin"), "previous"));
    TransferSlotQueue queue;
    TransferWorker worker(m_net->main(), {{"vls/bob/docs/root/big.bin", true}}, m_net->path("local"),
                          "vls/bob/docs/root", &queue);
    worker.setOverwriteQuestion([](const QString &) { return TransferWorker::Answer::Yes; });
    connect(&worker, &TransferWorker::progress, [&](const QString &, int percent) {
        if (percent > 0)
            worker.stop();
    });
    QSignalSpy finished(&worker, &TransferWorker::finished);
    worker.run();
    QCOMPARE(finished.first().first().toBool(), false);
    QCOMPARE(ShareFixture::readFile(m_net->path("local/big.bin")), QByteArray("previous"));
    QCOMPARE(QDir(m_net->path("local")).entryList(QDir::Files | QDir::Hidden), QStringList{"big.bin"});
    QCOMPARE(queue.heldSlots(), 0);
    QCOMPARE(m_net->bobPlugin->commandParser().engine()->openedFileCount(), 0);
}

void tst_TransferWorker::haltedDownloadGoesOnInTheNextRun_data()
{
    QTest::addColumn<QString>("disc");
    QTest::addColumn<QString>("discFolder");
    QTest::addColumn<bool>("asFolder"); // the file comes from a folder item
    // Every byte written, the process gone before the file was put in place.
    QTest::addColumn<bool>("keptWhole");
    QTest::newRow("file of a contact") << "vls/bob/docs/root" << "bob" << false << false;
    QTest::newRow("file in a contact's folder") << "vls/bob/docs/root" << "bob" << true << false;
    QTest::newRow("file of the own disc") << "vls/alice/docs/root" << "alice" << false << false;
    QTest::newRow("all bytes kept") << "vls/bob/docs/root" << "bob" << false << true;
}

void tst_TransferWorker::haltedDownloadGoesOnInTheNextRun()
{
    QFETCH(QString, disc);
    QFETCH(QString, discFolder);
    QFETCH(bool, asFolder);
    QFETCH(bool, keptWhole);
    const QByteArray bytes = TransferFixture::pattern(4 * 1024 * 1024);
    QVERIFY(QDir().mkpath(m_net->path(discFolder + "/in")));
    QVERIFY(ShareFixture::writeFile(m_net->path(discFolder + "/in/big.bin"), bytes));
    const QMap<QString, bool> items =
        asFolder ? QMap<QString, bool>{{disc + "/in", false}} : QMap<QString, bool>{{disc + "/in/big.bin", true}};
    const QString target = m_net->path("local/in/big.bin");
    QVERIFY(QDir().mkpath(m_net->path("local/in")));

    // The session ends in the middle of the file.
    TransferWorker halted(m_net->main(), items, m_net->path("local"), disc, nullptr);
    connect(&halted, &TransferWorker::progress, [&](const QString &, int percent) {
        if (percent > 0)
            halted.halt();
    });
    halted.run();
    QVERIFY(halted.isStopped());
    QVERIFY(!QFile::exists(target));
    qint64 kept = QFileInfo(PartialFile::keptPath(target)).size();
    QVERIFY2(kept > 0 && kept < bytes.size(), qPrintable(QString::number(kept)));
    if (keptWhole) {
        QFile partial(PartialFile::keptPath(target));
        QVERIFY(partial.open(QIODevice::Append));
        QCOMPARE(partial.write(bytes.mid(int(kept))), bytes.size() - kept);
        kept = bytes.size();
    }

    TransferWorker next(m_net->main(), items, m_net->path("local"), disc, nullptr);
    QSignalSpy finished(&next, &TransferWorker::finished);
    next.run();
    QCOMPARE(finished.first().first().toBool(), true);
    QCOMPARE(ShareFixture::readFile(target), bytes);
    QCOMPARE(next.bytesMoved(), bytes.size() - kept);
    QCOMPARE(QDir(m_net->path("local/in")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"big.bin"});
    QCOMPARE(m_net->bobPlugin->commandParser().engine()->openedFileCount(), 0);
}

void tst_TransferWorker::hostileNamesStayInTheFolder_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("base");
    QTest::newRow("parent segment") << "vls/bob/docs/root/../../../evil" << "vls/bob/docs/root";
    QTest::newRow("key outside the base") << "vls/bob/docs/root/a" << "vls/bob/docs/root/sub";
    QTest::newRow("dot segment") << "vls/bob/docs/root/./a" << "vls/bob/docs/root";
    QTest::newRow("empty segment") << "vls/bob/docs/root//a" << "vls/bob/docs/root";
    QTest::newRow("backslash") << "vls/bob/docs/root/..\\..\\evil" << "vls/bob/docs/root";
}

void tst_TransferWorker::hostileNamesStayInTheFolder()
{
    QFETCH(QString, key);
    QFETCH(QString, base);
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/a"), "a"));
    QDir().mkpath(m_net->path("local/in"));
    const auto before = TransferFixture::tree(m_net->root.path());
    TransferWorker worker(m_net->main(), {{key, true}}, m_net->path("local/in"), base, nullptr);
    worker.run();
    QCOMPARE(worker.failedItems(), 1);
    QCOMPARE(TransferFixture::tree(m_net->root.path()), before);
}

void tst_TransferWorker::resumesAfterTheRemoteFileWasClosed_data()
{
    QTest::addColumn<bool>("download");
    QTest::newRow("download") << true;
    QTest::newRow("upload") << false;
}

void tst_TransferWorker::resumesAfterTheRemoteFileWasClosed()
{
    QFETCH(bool, download);
    const QByteArray source = TransferFixture::pattern(6 * 1024 * 1024 + 3);
    const QString from = m_net->path(download ? "bob/f.bin" : "local/f.bin");
    const QString to = m_net->path(download ? "local/f.bin" : "bob/f.bin");
    QVERIFY(ShareFixture::writeFile(from, source));
    TransferSlotQueue queue;
    TransferWorker worker(m_net->main(), {{download ? "vls/bob/docs/root/f.bin" : from, true}},
                          download ? m_net->path("local") : "vls/bob/docs/root",
                          download ? "vls/bob/docs/root" : m_net->path("local"), &queue);
    worker.setRetryDelayMs(20);
    // Paused after the first chunks; the owner closes its idle files meanwhile.
    bool closed = false;
    connect(&worker, &TransferWorker::progress, [&](const QString &, int percent) {
        if (closed || percent < 5)
            return;
        closed = true;
        worker.pause();
    });
    connect(&worker, &TransferWorker::statusText, [&](const QString &text) {
        if (!text.endsWith(" paused"))
            return;
        QCOMPARE(queue.heldSlots(), 0);
        m_net->bobPlugin->commandParser().engine()->closeAllFiles();
        worker.resume();
    });
    worker.run();
    QVERIFY(closed);
    QCOMPARE(worker.completedItems(), 1);
    const QByteArray copy = ShareFixture::readFile(to);
    QCOMPARE(copy.size(), source.size());
    QVERIFY(copy == source);
}

void tst_TransferWorker::uploadReplacesALongerFileExactly()
{
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/f.txt"), TransferFixture::pattern(100000)));
    QVERIFY(ShareFixture::writeFile(m_net->path("local/f.txt"), "short"));
    TransferWorker worker(m_net->main(), {{m_net->path("local/f.txt"), true}}, "vls/bob/docs/root",
                          m_net->path("local"), nullptr);
    worker.setOverwriteQuestion([](const QString &) { return TransferWorker::Answer::Yes; });
    worker.run();
    QCOMPARE(worker.completedItems(), 1);
    QCOMPARE(ShareFixture::readFile(m_net->path("bob/f.txt")), QByteArray("short"));
}

void tst_TransferWorker::uploadWithoutWriteRightFails()
{
    WFtpEngine &bobs = *m_net->bobPlugin->commandParser().engine();
    QDir().mkpath(m_net->path("bob/ro"));
    const QString disc = bobs.addSharedDisc(m_net->path("bob/ro"), "ro");
    bobs.addPermittedUser(ShareFixture::record("alice", {"1"}), disc, "root");
    QVERIFY(ShareFixture::writeFile(m_net->path("local/f.txt"), "data"));
    TransferWorker worker(m_net->main(), {{m_net->path("local/f.txt"), true}}, "vls/bob/ro/root",
                          m_net->path("local"), nullptr);
    QSignalSpy finished(&worker, &TransferWorker::finished);
    worker.run();
    QCOMPARE(worker.failedItems(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    QVERIFY(!QFile::exists(m_net->path("bob/ro/f.txt")));
}

void tst_TransferWorker::survivesFaults_data()
{
    QTest::addColumn<bool>("download");
    QTest::addColumn<QString>("fault");
    QTest::newRow("download: link dropped mid-file") << true << "drop link";
    QTest::newRow("upload: link dropped mid-file") << false << "drop link";
    QTest::newRow("download: first connects refused") << true << "refuse connects";
    QTest::newRow("upload: first connects refused") << false << "refuse connects";
    QTest::newRow("upload: a write reply lost") << false << "lose reply";
    QTest::newRow("download: slow read replies") << true << "slow replies";
    // One answer comes after those of the requests sent after it.
    QTest::newRow("download: a read reply overtaken") << true << "late reply";
    QTest::newRow("upload: a write reply overtaken") << false << "late reply";
}

void tst_TransferWorker::survivesFaults()
{
    QFETCH(bool, download);
    QFETCH(QString, fault);
    // A link dropped after about a megabyte leaves requests to send on the
    // next one: more than a window's worth of the file is still to come.
    const bool dropsLink = fault == "drop link";
    const QByteArray source = TransferFixture::pattern((dropsLink ? 8 : 3) * 1024 * 1024 + 11);
    const QString from = m_net->path(download ? "bob/f.bin" : "local/f.bin");
    const QString to = m_net->path(download ? "local/f.bin" : "bob/f.bin");
    QVERIFY(ShareFixture::writeFile(from, source));
    const QString command = download ? WFtpProtocol::ReadFile : WFtpProtocol::WriteFile;
    TestHost &alice = m_net->alice;
    if (fault == "refuse connects")
        alice.failConnects = 2;
    TestHost::ReplyFault replyFault;
    replyFault.nth = 8;
    replyFault.drop = fault == "lose reply";
    if (fault == "slow replies") {
        replyFault.nth = 0;
        replyFault.delayMs = 30;
    }
    if (fault == "late reply") {
        replyFault.nth = 3;
        replyFault.delayMs = 300;
    }
    if (fault == "lose reply" || fault == "slow replies" || fault == "late reply")
        alice.addReplyFault(command, replyFault);
    TransferWorker worker(m_net->main(), {{download ? "vls/bob/docs/root/f.bin" : from, true}},
                          download ? m_net->path("local") : "vls/bob/docs/root",
                          download ? "vls/bob/docs/root" : m_net->path("local"), nullptr);
    worker.setRetryDelayMs(20);
    QString droppedLink;
    // About a megabyte arrived (a download counts its bytes moved only once
    // they are on the disc, which may come later).
    connect(&worker, &TransferWorker::progress, [&](const QString &, int percent) {
        if (dropsLink && droppedLink.isEmpty() && percent >= 12) {
            droppedLink = alice.lastLink();
            m_net->network.dropLink(droppedLink);
        }
    });
    QStringList texts;
    connect(&worker, &TransferWorker::statusText, [&](const QString &text) { texts << text; });
    worker.run();
    QCOMPARE(worker.completedItems(), 1);
    QVERIFY(ShareFixture::readFile(to) == source);

    if (fault == "lose reply") {
        // The chunk whose answer was lost went again from the same byte.
        QSet<qint64> offsets;
        for (const KvrConfig &write : alice.sentCommands(command))
            offsets << write.gv("from").toLongLong();
        QCOMPARE(offsets.size(), alice.sentCommands(command).size() - 1);
    }
    if (fault == "late reply") {
        // Nothing went twice: a late answer is waited for, not taken for lost.
        QSet<qint64> offsets;
        for (const KvrConfig &request : alice.sentCommands(command))
            offsets << request.gv("from").toLongLong();
        QCOMPARE(offsets.size(), alice.sentCommands(command).size());
    }
    if (fault == "refuse connects") {
        QCOMPARE(alice.linksOpened.load(), 3);
        QVERIFY(texts.contains("/f.bin reconnecting 1 of 1"));
    }
    if (fault != "drop link")
        return;
    QVERIFY(texts.contains("/f.bin reconnecting 1 of 1"));
    // The first request on the new link asks from the byte whose answer the
    // old one lost.
    const QList<KvrConfig> sent = alice.sentCommands();
    const auto routes = alice.sentRoutes();
    qint64 lastOnOld = -1, firstOnNew = -1;
    QSet<qint64> offsetsOnOld;
    for (int i = 0; i < sent.size(); ++i) {
        if (sent[i].gv("command") != command)
            continue;
        if (routes[i].second == droppedLink) {
            lastOnOld = sent[i].gv("from").toLongLong();
            offsetsOnOld << lastOnOld;
        } else if (lastOnOld >= 0 && firstOnNew < 0) {
            firstOnNew = sent[i].gv("from").toLongLong();
        }
    }
    QVERIFY(lastOnOld >= 1024 * 1024);
    // Reads and writes alike are several on their way: the new link goes on
    // from the first whose answer was lost.
    QVERIFY(firstOnNew >= 1024 * 1024 && offsetsOnOld.contains(firstOnNew));
}

void tst_TransferWorker::craftedListingStaysInTheFolder()
{
    QVERIFY(QDir().mkpath(m_net->path("bob/folder")));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/folder/ok.txt"), "ok"));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/evil"), "evil"));
    // The owner answers the listing with names that climb out or nest.
    TestHost::ReplyFault crafted;
    crafted.rewrite = [](KvrConfig &reply) {
        WDataStructure listing;
        for (const char *name : {"../evil", "../../evil", "a/b", "..", ".", "", "sub\\..\\..\\evil", "ok.txt", "listed.txt"}) {
            auto row = QSharedPointer<WDataStructure>::create();
            row->sv("Name", name);
            row->sv("Extension", QString(name) == "a/b" ? "directory" : "txt");
            row->sv("Size", "4");
            listing.AddStructure(row);
        }
        reply.sv(WFtpProtocol::KeyList, listing.SerializeStructure());
    };
    m_net->alice.addReplyFault(WFtpProtocol::ListDirectory, crafted);
    const auto before = TransferFixture::tree(m_net->root.path());
    TransferWorker worker(m_net->main(), {{"vls/bob/docs/root/folder", false}}, m_net->path("local"),
                          "vls/bob/docs/root", nullptr);
    worker.run();
    // Only names of one plain segment were tried; the one bob does not have
    // failed, and so did the one with backslashes, which no folder holds.
    QCOMPARE(worker.failedItems(), 2);
    QCOMPARE(worker.completedItems(), 2);
    auto after = TransferFixture::tree(m_net->root.path());
    QCOMPARE(after.take("/local/folder/ok.txt"), QCryptographicHash::hash("ok", QCryptographicHash::Sha256));
    QVERIFY(after.contains("/local/folder"));
    after.remove("/local/folder");
    QCOMPARE(after, before);
}

void tst_TransferWorker::sourceShrinkingMidFileFailsTheItem_data()
{
    QTest::addColumn<bool>("download");
    QTest::newRow("the owner's file shrinks") << true;
    QTest::newRow("the local file shrinks") << false;
}

void tst_TransferWorker::sourceShrinkingMidFileFailsTheItem()
{
    QFETCH(bool, download);
    const QString from = m_net->path(download ? "bob" : "local");
    const QString to = m_net->path(download ? "local" : "bob");
    QVERIFY(ShareFixture::writeFile(from + "/a.bin", TransferFixture::pattern(2 * 1024 * 1024)));
    QVERIFY(ShareFixture::writeFile(from + "/b.txt", "after"));
    const QString base = download ? QString("vls/bob/docs/root") : from;
    TransferWorker worker(m_net->main(), {{base + "/a.bin", true}, {base + "/b.txt", true}},
                          download ? to : "vls/bob/docs/root", base, nullptr);
    worker.setRetryDelayMs(10);
    bool shrunk = false;
    connect(&worker, &TransferWorker::progress, [&](const QString &name) {
        if (!shrunk && name == "/a.bin") {
            shrunk = true;
            QFile(from + "/a.bin").resize(1000);
        }
    });
    QSignalSpy finished(&worker, &TransferWorker::finished);
    QElapsedTimer running;
    running.start();
    worker.run();
    QVERIFY(shrunk);
    QCOMPARE(worker.failedItems(), 1);
    QCOMPARE(worker.completedItems(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    QCOMPARE(ShareFixture::readFile(to + "/b.txt"), QByteArray("after"));
    // A download never puts a short copy under the target's name.
    if (download)
        QVERIFY(!QFile::exists(to + "/a.bin"));
}

void tst_TransferWorker::fileChangedSinceItsListing_data()
{
    QTest::addColumn<int>("listed");
    QTest::addColumn<int>("actual");
    QTest::newRow("grown by a byte") << 10000 << 10001;
    QTest::newRow("grown by many chunks") << 10000 << 3 * 1024 * 1024 + 7;
    QTest::newRow("shrunk") << 300000 << 1234;
    QTest::newRow("emptied") << 5000 << 0;
    QTest::newRow("listed empty, now filled") << 0 << 20000;
}

// The listing's size is where reading stops; a file that changed after it
// was listed still arrives whole, never cut at the listed size.
void tst_TransferWorker::fileChangedSinceItsListing()
{
    QFETCH(int, listed);
    QFETCH(int, actual);
    QDir().mkpath(m_net->path("bob/dir"));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/dir/a.bin"), TransferFixture::pattern(listed, 1)));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/dir/b.bin"), TransferFixture::pattern(listed, 2)));
    const QByteArray changed = TransferFixture::pattern(actual, 3);
    TransferWorker worker(m_net->main(), {{"vls/bob/docs/root/dir", false}}, m_net->path("local"),
                          "vls/bob/docs/root", nullptr);
    // Changed once listed, while the worker opens the files.
    connect(&worker, &TransferWorker::statusText, [&](const QString &text) {
        if (text.endsWith("/dir/a.bin")) {
            ShareFixture::writeFile(m_net->path("bob/dir/a.bin"), changed);
            ShareFixture::writeFile(m_net->path("bob/dir/b.bin"), changed);
        }
    });
    worker.run();
    QCOMPARE(worker.failedItems(), 0);
    for (const char *name : {"/a.bin", "/b.bin"}) {
        const QByteArray copy = ShareFixture::readFile(m_net->path("local/dir") + name);
        QCOMPARE(copy.size(), changed.size());
        QVERIFY(copy == changed);
    }
}

void tst_TransferWorker::stopInAFolderLeavesNothingOpen()
{
    QDir().mkpath(m_net->path("bob/dir"));
    for (const char *name : {"a.bin", "b.bin", "c.bin"})
        QVERIFY(ShareFixture::writeFile(m_net->path("bob/dir/") + name, TransferFixture::pattern(4 * 1024 * 1024)));
    TransferSlotQueue queue;
    TransferWorker worker(m_net->main(), {{"vls/bob/docs/root/dir", false}}, m_net->path("local"),
                          "vls/bob/docs/root", &queue);
    // Stopped in the first file, while the next one's open is on its way.
    connect(&worker, &TransferWorker::progress, [&](const QString &, int percent) {
        if (percent > 0)
            worker.stop();
    });
    QSignalSpy finished(&worker, &TransferWorker::finished);
    worker.run();
    QCOMPARE(finished.first().first().toBool(), false);
    QCOMPARE(TransferFixture::tree(m_net->path("local")).keys(), QStringList{"/dir"});
    QCOMPARE(queue.heldSlots(), 0);
    m_net->alice.waitIdle();
    m_net->bob.waitIdle();
    QCOMPARE(m_net->bobPlugin->commandParser().engine()->openedFileCount(), 0);
}

// The file arrives whole, but its target cannot be replaced: it is failed.
void tst_TransferWorker::targetThatCannotBeReplacedFails()
{
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/a.bin"), TransferFixture::pattern(50000)));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/b.bin"), TransferFixture::pattern(50000, 1)));
    TransferWorker worker(m_net->main(), {{"vls/bob/docs/root/a.bin", true}, {"vls/bob/docs/root/b.bin", true}},
                          m_net->path("local"), "vls/bob/docs/root", nullptr);
    // A folder takes the target's name once the download has begun.
    connect(&worker, &TransferWorker::progress, [&](const QString &name) {
        if (name == "/a.bin")
            QDir().mkpath(m_net->path("local/a.bin/inside"));
    });
    QSignalSpy finished(&worker, &TransferWorker::finished);
    worker.run();
    QCOMPARE(worker.failedItems(), 1);
    QCOMPARE(worker.completedItems(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    QVERIFY(QFileInfo(m_net->path("local/a.bin")).isDir());
    QCOMPARE(ShareFixture::readFile(m_net->path("local/b.bin")), TransferFixture::pattern(50000, 1));
}

void tst_TransferWorker::aDiscThatTakesNoMoreFailsTheFile()
{
    const int large = 6 * 1024 * 1024;
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/a.bin"), TransferFixture::pattern(large)));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/b.bin"), TransferFixture::pattern(50000, 1)));
    TransferWorker worker(m_net->main(), {{"vls/bob/docs/root/a.bin", true}, {"vls/bob/docs/root/b.bin", true}},
                          m_net->path("local"), "vls/bob/docs/root", nullptr);
    QSignalSpy finished(&worker, &TransferWorker::finished);
    // No file of this process may grow past 1 MiB while the worker runs:
    // writes beyond fail as on a full disc (the signal is ignored).
    rlimit saved {};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024 * 1024;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    worker.run();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(worker.failedItems(), 1);
    QCOMPARE(worker.completedItems(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    QCOMPARE(ShareFixture::readFile(m_net->path("local/b.bin")), TransferFixture::pattern(50000, 1));
    // Nothing of the file that did not fit stays, under its name or another.
    QCOMPARE(QDir(m_net->path("local")).entryList(QDir::Files | QDir::Hidden), QStringList{"b.bin"});
}

WIVORA_TEST_GUILESS_MAIN(tst_TransferWorker)
#include "tst_TransferWorker.moc"
