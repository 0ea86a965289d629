// Listings of a huge shared folder between real clients of a real
// wivora-server: every row reaches the contact, in order, over many pages
// (browsing through the listing cache and downloading the whole folder), and
// a read-only contact that walks the folder many times at once, or asks for
// pages nobody would, cannot run the owner's memory up nor get a partial
// folder passed off as whole.
//
// CI runs a scaled folder with small pages; the full-size figures come from
// the same rows run by hand with WIVORA_LISTING_FILES=100000 (or 50000) and
// WIVORA_LISTING_PAGE_ROWS=0 (the product's own page size).

#include "QtTestSuite.h"
#include "Attacker.h"
#include "E2eFixture.h"
#include "MemoryBounds.h"
#include "WFtpOperations.h"

#include <WFtpProtocol.h>

#include <QElapsedTimer>
#include <QtTest>

using namespace WFtpProtocol;

namespace {

const QString kDisc = QStringLiteral("vls/bob/huge/root");
constexpr qint64 kMiB = 1024 * 1024;

int environmentOr(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

const int kFolderFiles = environmentOr("WIVORA_LISTING_FILES", 2500);
// 0 leaves the owner's page size as the product has it.
const int kPageRows = environmentOr("WIVORA_LISTING_PAGE_ROWS", 100);
const qint64 kAllowedGrowth = environmentOr("WIVORA_LISTING_GROWTH_MIB", 48) * kMiB;
constexpr int kConcurrentListings = 16;

KvrConfig keys(const QMap<QString, QString> &values)
{
    KvrConfig record;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        record.sv(it.key(), it.value());
    return record;
}

bool makeFiles(const QString &folder, const QStringList &names)
{
    if (!QDir().mkpath(folder))
        return false;
    for (const QString &name : names) {
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(name.toUtf8()) < 0)
            return false;
    }
    return true;
}

// Names in the order listings carry them: bytewise on UTF-8.
QStringList listingOrder(QStringList names)
{
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) { return a.toUtf8() < b.toUtf8(); });
    return names;
}

QStringList numberedNames(const QString &stem, int count)
{
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << QStringLiteral("%1-%2.dat").arg(stem).arg(i, 6, 10, QLatin1Char('0'));
    return names;
}

KvrConfig listingRequest(const QString &path, const QString *after)
{
    KvrConfig record = E2eFixture::newRecord(ListDirectory);
    record.sv(KeyUser, QStringLiteral("carol"));
    record.sv(KeyPath, path);
    record.sv(KeyGetThumbnails, QStringLiteral("false"));
    if (after)
        record.sv(KeyAfter, *after);
    return record;
}

int rowCount(const KvrConfig &reply, QString *lastName = nullptr)
{
    WDataStructure page;
    if (!page.DeserializeStructure(reply.gv(KeyList)))
        return -1;
    if (lastName && page.childCount() > 0)
        *lastName = page.GetStructureByPos(page.childCount() - 1)->gv(QStringLiteral("Name"));
    return page.childCount();
}

} // namespace

class tst_Listings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeFolderReachesTheContact_data();
    void wholeFolderReachesTheContact();
    void folderDownloadTakesEveryPage();
    void concurrentListingsKeepOwnerMemoryBounded();
    void pagesAnswerOnlyWhatWasAskedFor_data();
    void pagesAnswerOnlyWhatWasAskedFor();

private:
    KvrConfig invoke(ClientProcess &client, const QString &operation, const KvrConfig &argument = {});
    QSharedPointer<TcpConnection> carolToBob();

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice, m_bob;
    Attacker m_carol; // bob's contact, allowed to read the folder and nothing more
    QSharedPointer<TcpConnection> m_carolLink;
    QTemporaryDir m_files;
    QStringList m_rootNames;  // the shared folder's entries, in listing order
    QStringList m_pagesNames; // the "pages" subfolder's
    int m_pageRows = 0;       // rows of a full page from the owner
};

KvrConfig tst_Listings::invoke(ClientProcess &client, const QString &operation, const KvrConfig &argument)
{
    // A whole huge folder can take minutes under a sanitizer.
    return invokeWFtp(client, operation, argument, 300000);
}
QSharedPointer<TcpConnection> tst_Listings::carolToBob()
{
    if (!m_carolLink || !m_carolLink->isConnected())
        m_carolLink = m_carol.linkTo(QStringLiteral("bob"), m_bob->listeningPort());
    return m_carolLink;
}

void tst_Listings::initTestCase()
{
    QVERIFY(m_files.isValid());
    const QString huge = m_files.filePath(QStringLiteral("huge"));
    // Names that sort differently by bytes and by letters, beside the many.
    const QStringList odd = {QStringLiteral("Zebra.txt"), QStringLiteral("zèbre.txt"), QStringLiteral("a b.txt"),
                             QStringLiteral(".hidden")};
    const QStringList many = numberedNames(QStringLiteral("file"), kFolderFiles);
    QVERIFY(makeFiles(huge, many + odd));
    m_rootNames = listingOrder(many + odd + QStringList{"pages", "one-page", "empty"});

    QVERIFY(m_fixture.startService({"alice", "bob", "carol"}, {{"alice", "bob"}, {"bob", "carol"}}));
    m_alice = m_fixture.client("alice");
    m_bob = m_fixture.client("bob");
    QVERIFY(m_alice && m_bob);
    if (kPageRows > 0)
        m_bob->setEnvironment(QStringLiteral("WIVORA_WFTP_LISTING_PAGE_ROWS"), QString::number(kPageRows));
    for (ClientProcess *client : {m_alice.get(), m_bob.get()}) {
        QVERIFY(client->installPlugin(QStringLiteral(WIVORA_WFTP_PLUGIN)));
        QVERIFY2(client->start(), qPrintable(client->diagnostics()));
    }
    QCOMPARE(invoke(*m_bob, "shareFolder", keys({{"path", huge}, {"users", "alice"}})).gv("disc"), kDisc);
    invoke(*m_bob, "setFolderUsers", keys({{"path", kDisc}, {"users", "alice"}, {"readers", "carol"}}));
    QVERIFY(m_carol.logIn(m_fixture, QStringLiteral("carol")));
    QVERIFY(carolToBob());

    // The owner's page size, as its first page of the folder shows it.
    const QString first;
    const KvrConfig page = carolToBob()->sendCommand(listingRequest(kDisc, &first), 60000);
    QVERIFY(page.CheckKeyExist(KeyNext));
    m_pageRows = rowCount(page);
    QVERIFY(m_pageRows > 0);
    m_pagesNames = listingOrder(numberedNames(QStringLiteral("part"), 2 * m_pageRows + 7));
    QVERIFY(makeFiles(huge + QStringLiteral("/pages"), m_pagesNames));
    QVERIFY(makeFiles(huge + QStringLiteral("/one-page"), numberedNames(QStringLiteral("row"), m_pageRows)));
    QVERIFY(QDir().mkpath(huge + QStringLiteral("/empty")));
}

void tst_Listings::wholeFolderReachesTheContact_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<int>("rows");

    QTest::newRow("a folder of many pages") << kDisc << true << m_rootNames.size();
    QTest::newRow("a folder of exactly one page") << kDisc + "/one-page" << true << m_pageRows;
    QTest::newRow("an empty folder") << kDisc + "/empty" << true << 0;
    QTest::newRow("a folder that is not there") << kDisc + "/missing" << false << 0;
}

void tst_Listings::wholeFolderReachesTheContact()
{
    QFETCH(QString, path);
    QFETCH(bool, listed);
    QFETCH(int, rows);

    QElapsedTimer timer;
    timer.start();
    const KvrConfig reply = invoke(*m_alice, "listFolder", keys({{"path", path}, {"reload", "true"}}));
    qInfo("%s: %d rows in %lld ms", qPrintable(path), rows, timer.elapsed());
    QCOMPARE(reply.checkResult(), listed);
    // A failure says so; it never reads as an empty folder.
    QCOMPARE(reply.gv("error").isEmpty(), listed);
    const QStringList names = reply.gv("names").split(ListSeparator, Qt::SkipEmptyParts);
    QCOMPARE(names.size(), rows);
    if (path == kDisc)
        QCOMPARE(names, m_rootNames);
    // The cache gives back the whole folder too.
    if (listed && rows > 0)
        QCOMPARE(invoke(*m_alice, "listFolder", keys({{"path", path}})).gv("names").split(ListSeparator), names);
}

void tst_Listings::folderDownloadTakesEveryPage()
{
    QTemporaryDir target;
    QVERIFY(target.isValid());
    const KvrConfig started = invoke(*m_alice, "startTransfer",
                                     keys({{"folders", kDisc + "/pages"}, {"target", target.path()}, {"base", kDisc}}));
    QVERIFY(started.checkResult());
    KvrConfig state;
    QTRY_VERIFY_WITH_TIMEOUT((state = invoke(*m_alice, "transferState", keys({{"id", started.gv("id")}})))
                                     .gv("returned") == QLatin1String("true"),
                             120000);
    QVERIFY2(state.checkResult(), qPrintable(state.gv("failed") + " failed"));
    QCOMPARE(QDir(target.filePath("pages")).entryList(QDir::Files, QDir::Name), m_pagesNames);
}

void tst_Listings::concurrentListingsKeepOwnerMemoryBounded()
{
    // Each walk asks for the next page as soon as one comes, and again at
    // once when the owner is busy: as many listings at once as it can get.
    struct Walk
    {
        QString id;
        QString after;
        int rows = 0;
        bool done = false;
    };
    const QSharedPointer<TcpConnection> link = carolToBob();
    QVERIFY(link);
    const qint64 pid = m_bob->processId();
    const qint64 before = residentBytes(pid);
    QVERIFY(before > 0);

    QVector<Walk> walks(kConcurrentListings);
    const auto ask = [&](Walk &walk) {
        const KvrConfig request = listingRequest(kDisc, &walk.after);
        walk.id = request.GetID();
        return link->pushCommand(request);
    };
    for (Walk &walk : walks)
        QVERIFY(ask(walk));

    int pages = 0;
    int busy = 0;
    qint64 peak = before;
    QElapsedTimer sampled;
    sampled.start();
    QElapsedTimer timer;
    timer.start();
    for (int done = 0; done < walks.size();) {
        QVERIFY2(timer.elapsed() < 240000, qPrintable(QStringLiteral("%1 of %2 walks ended").arg(done).arg(walks.size())));
        QVERIFY(link->isConnected());
        bool answered = false;
        for (Walk &walk : walks) {
            if (walk.done)
                continue;
            const KvrConfig reply = link->getCommand(walk.id, 0);
            if (reply.isEmpty())
                continue;
            answered = true;
            if (!reply.checkResult()) {
                // Refused for load, never answered with part of the folder.
                QCOMPARE(reply.gv(KeyBusy), QStringLiteral("true"));
                QVERIFY(!reply.CheckKeyExist(KeyList));
                ++busy;
                QVERIFY(ask(walk));
                continue;
            }
            ++pages;
            const int rows = rowCount(reply);
            QVERIFY(rows >= 0 && rows <= m_pageRows);
            walk.rows += rows;
            walk.after = reply.gv(KeyNext);
            if (walk.after.isEmpty()) {
                walk.done = true;
                ++done;
            } else {
                QVERIFY(ask(walk));
            }
        }
        if (sampled.elapsed() >= 20) {
            peak = qMax(peak, residentBytes(pid));
            sampled.restart();
        }
        if (!answered)
            QTest::qWait(1);
    }
    peak = qMax(peak, residentBytes(pid));
    qInfo("%d listings of %d rows: %d pages, %d busy refusals, %lld ms; owner %lld MiB before, %lld MiB at the peak",
          kConcurrentListings, int(m_rootNames.size()), pages, busy, timer.elapsed(), before / kMiB, peak / kMiB);

    for (const Walk &walk : walks)
        QCOMPARE(walk.rows, m_rootNames.size());
    QVERIFY_MEMORY_BOUND(peak - before < kAllowedGrowth,
                         qPrintable(QStringLiteral("%1 MiB before, %2 MiB at the peak").arg(before / kMiB).arg(peak / kMiB)));
    // alice is still served.
    QVERIFY(invoke(*m_alice, "listFolder", keys({{"path", kDisc + "/one-page"}, {"reload", "true"}})).checkResult());
    QVERIFY(m_bob->isRunning());
}

void tst_Listings::pagesAnswerOnlyWhatWasAskedFor_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("paged");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("rows"); // -1: not checked beyond the page size
    QTest::addColumn<bool>("more");

    const QString one = kDisc + "/one-page";
    const QString pages = kDisc + "/pages";
    QTest::newRow("first page of many") << kDisc << true << "" << true << m_pageRows << true;
    QTest::newRow("after a row in the middle") << pages << true << m_pagesNames.at(2 * m_pageRows - 1) << true << 7
                                               << false;
    QTest::newRow("after a name that is not there")
        << pages << true << m_pagesNames.at(2 * m_pageRows) + "x" << true << 6 << false;
    QTest::newRow("after the last name") << pages << true << m_pagesNames.last() << true << 0 << false;
    QTest::newRow("after longer than any file name") << kDisc << true << QString(300, QLatin1Char('a')) << false << 0
                                                     << false;
    QTest::newRow("cannot page, folder fits one page") << one << false << "" << true << m_pageRows << false;
    QTest::newRow("cannot page, folder of many pages") << kDisc << false << "" << false << 0 << false;
    QTest::newRow("a path out of the share") << kDisc + "/../.." << true << "" << false << 0 << false;
    QTest::newRow("a file, not a folder") << pages + "/" + m_pagesNames.first() << true << "" << false << 0 << false;
}

void tst_Listings::pagesAnswerOnlyWhatWasAskedFor()
{
    QFETCH(QString, path);
    QFETCH(bool, paged);
    QFETCH(QString, after);
    QFETCH(bool, result);
    QFETCH(int, rows);
    QFETCH(bool, more);

    const QSharedPointer<TcpConnection> link = carolToBob();
    QVERIFY(link);
    const KvrConfig reply = link->sendCommand(listingRequest(path, paged ? &after : nullptr), 60000);
    QVERIFY2(!reply.isEmpty(), "no reply");
    QCOMPARE(reply.checkResult(), result);
    if (!result) {
        QVERIFY(!reply.CheckKeyExist(KeyList));
        return;
    }
    QString last;
    QCOMPARE(rowCount(reply, &last), rows);
    QCOMPARE(reply.CheckKeyExist(KeyNext), more);
    if (more)
        QCOMPARE(reply.gv(KeyNext), last);
}

WIVORA_TEST_GUILESS_MAIN(tst_Listings)
#include "tst_Listings.moc"
