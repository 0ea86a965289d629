// Listing pages as the request server builds them from real folders: bounded
// by rows and by bytes, walked to the whole folder in order, steady while the
// folder changes between pages, and refused for load once a user holds its
// share of the listings built at once.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <CommandParser.h>
#include <ListingGate.h>
#include <WFtpProtocol.h>

#include <QtTest>

using namespace WFtpProtocol;

namespace {

const QString kFolder = ShareFixture::vpath("root/many");

struct Walked
{
    QStringList names;
    int pages = 0;
    int largestText = 0;     // characters of the largest "list"
    int largestPageRows = 0; // rows of the page that had it
};

QStringList inListingOrder(QStringList names)
{
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) { return a.toUtf8() < b.toUtf8(); });
    return names;
}

} // namespace

class tst_ListingPages : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pagesWalkTheWholeFolder_data();
    void pagesWalkTheWholeFolder();
    void changesBetweenPagesNeitherRepeatNorSkip();
    void gateBoundsListingsAtOnce();
    void userAtTheBoundIsToldToRetry();

private:
    KvrConfig ask(const QString &after, const QString &sender = "bob");
    // Every page from the first; false when one was refused.
    bool walk(Walked &walked, const QString &from = QString());
    void makeFiles(const QStringList &names);

    std::unique_ptr<ShareFixture> m_files;
    std::unique_ptr<CommandParser> m_parser;
};

void tst_ListingPages::init()
{
    m_files = std::make_unique<ShareFixture>();
    m_parser = std::make_unique<CommandParser>();
    m_parser->engine()->setAccountProvider(m_files->provider);
    m_files->grant("bob", "root", {"1"});
    m_files->grant("carol", "root", {"1"});
    QVERIFY(QDir().mkpath(m_files->docs() + "/many"));
}

void tst_ListingPages::cleanup()
{
    m_parser->engine()->thumbnailScheduler().waitForDone();
}

KvrConfig tst_ListingPages::ask(const QString &after, const QString &sender)
{
    KvrConfig request;
    request.SetID();
    request.sv(KeyCommand, ListDirectory);
    request.sv(KeyUser, sender);
    request.sv(KeyPath, kFolder);
    request.sv(KeyAfter, after);
    request.sv(KeySender, sender);
    request.sv(KeyConnection, "1");
    request.sv(KeyConnectionId, "link-1");
    return m_parser->PerformCommand(request);
}

bool tst_ListingPages::walk(Walked &walked, const QString &from)
{
    QString after = from;
    do {
        const KvrConfig reply = ask(after);
        if (!reply.checkResult())
            return false;
        WDataStructure page;
        if (!page.DeserializeStructure(reply.gv(KeyList)))
            return false;
        ++walked.pages;
        if (reply.gv(KeyList).size() > walked.largestText) {
            walked.largestText = reply.gv(KeyList).size();
            walked.largestPageRows = page.childCount();
        }
        for (const auto &row : page.getChildren())
            walked.names << row->gv("Name");
        after = reply.gv(KeyNext);
        // The next page starts after this one's last row.
        if (!after.isEmpty() && (walked.names.isEmpty() || after != walked.names.last()))
            return false;
    } while (!after.isEmpty());
    return true;
}

void tst_ListingPages::makeFiles(const QStringList &names)
{
    for (const QString &name : names)
        QVERIFY(ShareFixture::writeFile(m_files->docs() + "/many/" + name, name.toUtf8()));
}

void tst_ListingPages::pagesWalkTheWholeFolder_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("bytes");

    QTest::newRow("the whole folder in one page") << 1000 << 1024 * 1024;
    QTest::newRow("pages bounded by rows") << 7 << 1024 * 1024;
    QTest::newRow("pages bounded by bytes") << 1000 << 2000;
    QTest::newRow("one row a page") << 1 << 1;
}

void tst_ListingPages::pagesWalkTheWholeFolder()
{
    QFETCH(int, rows);
    QFETCH(int, bytes);

    // Names of every length and script, in an order unlike the bytes'.
    QStringList names;
    for (int i = 0; i < 40; ++i)
        names << QStringLiteral("%1-%2").arg(QString(1 + (i * 37) % 200, QChar('a' + i % 26))).arg(i);
    names << QString::fromUtf8("Фото.txt") << QString::fromUtf8("写真.txt") << "Zebra" << "zebra" << ".hidden";
    makeFiles(names);
    QVERIFY(QDir().mkdir(m_files->docs() + "/many/folder"));
    names << "folder";
    m_parser->engine()->setPageLimits({rows, bytes});

    Walked walked;
    QVERIFY(walk(walked));
    QCOMPARE(walked.names, inListingOrder(names));
    QVERIFY(walked.pages >= (names.size() + rows - 1) / rows);
    // A page outgrows the byte bound only when it is one row.
    constexpr int PageFraming = 32;
    QVERIFY2(walked.largestPageRows == 1 || walked.largestText <= bytes + PageFraming,
             qPrintable(QStringLiteral("%1 characters in %2 rows").arg(walked.largestText).arg(walked.largestPageRows)));
}

void tst_ListingPages::changesBetweenPagesNeitherRepeatNorSkip()
{
    QStringList names;
    for (char letter = 'a'; letter <= 't'; ++letter)
        names << QString(QChar(letter));
    makeFiles(names);
    m_parser->engine()->setPageLimits({5, 1024 * 1024});
    const KvrConfig first = ask(QString());
    QCOMPARE(first.gv(KeyNext), QStringLiteral("e"));

    // Behind the cursor: "c" goes, "b2" comes; ahead of it: "g" goes, "h2"
    // and "z" come.
    QVERIFY(QFile::remove(m_files->docs() + "/many/c"));
    QVERIFY(QFile::remove(m_files->docs() + "/many/g"));
    makeFiles({"b2", "h2", "z"});

    Walked rest;
    QVERIFY(walk(rest, first.gv(KeyNext)));
    // What stayed is listed once; what changed ahead of the cursor shows as
    // it is now, what changed behind it as it was.
    QCOMPARE(rest.names, QStringList({"f", "h", "h2", "i", "j", "k", "l", "m", "n", "o", "p", "q", "r", "s", "t", "z"}));
}

void tst_ListingPages::gateBoundsListingsAtOnce()
{
    ListingGate gate(2, 3);
    {
        const ListingGate::Pass first = gate.tryEnter("bob");
        const ListingGate::Pass second = gate.tryEnter("bob");
        QVERIFY(first && second);
        QVERIFY(!gate.tryEnter("bob"));
        const ListingGate::Pass carol = gate.tryEnter("carol");
        QVERIFY(carol);
        // Everyone is at the bound now, also a user holding nothing.
        QVERIFY(!gate.tryEnter("dave"));
        QCOMPARE(gate.building(), 3);
    }
    // Places come back when the listings are built.
    QCOMPARE(gate.building(), 0);
    QVERIFY(gate.tryEnter("dave"));
}

void tst_ListingPages::userAtTheBoundIsToldToRetry()
{
    makeFiles({"a", "b"});
    ListingGate &gate = m_parser->listingGate();
    std::vector<ListingGate::Pass> held;
    for (int i = 0; i < ListingGate::DefaultPerUser; ++i)
        held.push_back(gate.tryEnter("bob"));

    const KvrConfig refused = ask(QString(), "bob");
    QVERIFY(!refused.checkResult());
    QCOMPARE(refused.gv(KeyBusy), QStringLiteral("true"));
    QVERIFY(!refused.CheckKeyExist(KeyList));
    // Another contact is still served.
    QVERIFY(ask(QString(), "carol").checkResult());

    held.clear();
    const KvrConfig listed = ask(QString(), "bob");
    QVERIFY(listed.checkResult());
    QVERIFY(!listed.CheckKeyExist(KeyBusy));
}

WIVORA_TEST_GUILESS_MAIN(tst_ListingPages)
#include "tst_ListingPages.moc"
