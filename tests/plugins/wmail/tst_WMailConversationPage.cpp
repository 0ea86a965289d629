#include "QtTestSuite.h"
#include "WMailConversationPage.h"
#include "WMailResources.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kOwner = QStringLiteral("alice");

struct Conversation
{
    Conversation() : c(dir.path(), QStringLiteral("bob")) { c.initialise("bob", kOwner, {"bob"}); }

    QString add(const QString &sender, const QString &type = "text", const QByteArray &data = "hi")
    {
        const WMailStructure::Pointer m = c.newMessage(type, sender, QDateTime::currentDateTimeUtc());
        c.addMessage(c.viewRoot(), m, data, false);
        return m->id;
    }
    QString page(const QString &filter = "all") { return WMailConversationPage::buildConversationPage(c, filter); }

    QTemporaryDir dir;
    WMailConversation c;
};

QStringList chunkIds(const QString &page, const QStringList &ids)
{
    QStringList found;
    for (const QString &id : ids) {
        if (page.contains("<div id=\"" + id + "\">"))
            found << id;
    }
    return found;
}

} // namespace

class tst_WMailConversationPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { WMailResources::initialise(); }

    void frame()
    {
        Conversation f;
        const QString page = f.page();
        QVERIFY(page.startsWith("<html><head><meta http-equiv=\"Content-Security-Policy\""));
        QVERIFY(page.contains("<link href=\"resourceswivora:///wmailelements/Resources/wmailstyle.css\" "
                              "type=\"text/css\" rel=\"stylesheet\" />\r\n"));
        QVERIFY(page.indexOf("Resources/jquery.js\"></script>") < page.indexOf("Resources/wmail.js\"></script>"));
        QVERIFY(!page.contains("<script type=\"text/javascript\">")); // no inline script
        QVERIFY(page.endsWith("<div id=\"mainstorage\" style=\"font-size:12px;\"><div id=\"lastchunk\"></div>"
                              "</div></body></html>"));
    }

    // Which messages the page holds: the last shown ones, oldest first, of the filter's type.
    void shownMessages_data()
    {
        QTest::addColumn<int>("shown");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("count");
        QTest::newRow("15 of 20") << 15 << "all" << 5 << 15;
        QTest::newRow("all 20") << -1 << "all" << 0 << 20;
        QTest::newRow("more than there are") << 30 << "all" << 0 << 20;
        QTest::newRow("files of the last 15") << 15 << "files" << 6 << 5; // every third is "files"
    }
    void shownMessages()
    {
        QFETCH(int, shown);
        QFETCH(QString, filter);
        QFETCH(int, first);
        QFETCH(int, count);
        Conversation f;
        QStringList ids, files;
        for (int i = 0; i < 20; ++i) {
            ids << f.add("bob", i % 3 == 0 ? "files" : "text");
            if (i % 3 == 0)
                files << ids.last();
        }
        f.c.setNumberOfShownItems(shown);
        const QString page = f.page(filter);
        const QStringList expected = filter == "all" ? ids.mid(first, count) : QStringList(files.mid(files.size() - count));
        QCOMPARE(chunkIds(page, ids), expected);
        int at = 0;
        for (const QString &id : expected) { // in order
            const int next = page.indexOf(id, at);
            QVERIFY(next > at);
            at = next;
        }
    }

    // A page starts with the newest page of what it may show; older pages
    // follow until the shown range is on it, each message once and in order.
    void pages_data()
    {
        QTest::addColumn<int>("shown");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QList<int>>("pageSizes");
        const int page = WMailConversationPage::PageSize;
        // 160 messages, every third (54) "files".
        QTest::newRow("all of them") << -1 << "all" << QList<int>{page, page, page, 10};
        QTest::newRow("the last 70") << 70 << "all" << QList<int>{page, 20};
        QTest::newRow("exactly a page") << page << "all" << QList<int>{page};
        QTest::newRow("files of all") << -1 << "files" << QList<int>{page, 4};
        QTest::newRow("files of the last 30") << 30 << "files" << QList<int>{10};
    }
    void pages()
    {
        QFETCH(int, shown);
        QFETCH(QString, filter);
        QFETCH(QList<int>, pageSizes);
        const int total = 160;
        Conversation f;
        QStringList ids, passing;
        for (int i = 0; i < total; ++i)
            ids << f.add("bob", i % 3 == 0 ? "files" : "text");
        for (int i = shown < 0 ? 0 : total - shown; i < total; ++i) {
            if (filter == "all" || i % 3 == 0)
                passing << ids.at(i);
        }
        f.c.setNumberOfShownItems(shown);
        int oldest = -1;
        QStringList onPage = chunkIds(WMailConversationPage::buildConversationPage(f.c, filter, &oldest), ids);
        QList<int> sizes{onPage.size()};
        while (WMailConversationPage::hasOlderMessages(f.c, oldest)) {
            const QStringList older = chunkIds(WMailConversationPage::buildOlderChunks(f.c, filter, &oldest), ids);
            sizes << older.size();
            onPage = older + onPage;
        }
        QCOMPARE(sizes, pageSizes);
        QCOMPARE(onPage, passing);
        QCOMPARE(WMailConversationPage::buildOlderChunks(f.c, filter, &oldest), QString());
    }

    void bubbles_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("bubble");
        QTest::newRow("own") << kOwner << "gray";
        QTest::newRow("other") << "bob" << "green";
        QTest::newRow("own name in another case") << "Alice" << "green";
    }
    void bubbles()
    {
        QFETCH(QString, sender);
        QFETCH(QString, bubble);
        Conversation f;
        const QString id = f.add(sender);
        const QString chunk = WMailConversationPage::buildMessageChunkById(f.c, id);
        QVERIFY(chunk.startsWith("<div id=\"" + id + "\"><a name=\"" + id + "\"></a><table"));
        QVERIFY(chunk.endsWith("</table>\n</div>"));
        QVERIFY(chunk.contains("class=\"" + bubble + "00\""));
        QVERIFY(!chunk.contains(QChar(0xFEFF)));
    }

    // Names and text from peers are shown as text: no markup, and a name
    // holding the template's words stays a name.
    void peerText()
    {
        Conversation f;
        const QString id = f.add("<img src=x onerror=alert(1)>content header", "text", "<script>x()</script>fine");
        const QString chunk = WMailConversationPage::buildMessageChunkById(f.c, id);
        QVERIFY(chunk.contains("<b>&lt;img src=x onerror=alert(1)&gt;content header</b>"));
        QVERIFY(chunk.contains("<div>fine</div>"));
        QVERIFY(!chunk.contains("<script"));
        QCOMPARE(chunk.count("<div>fine</div>"), 1);
    }

    void chunksOfUnknownOrForeignIds()
    {
        Conversation f;
        QCOMPARE(WMailConversationPage::buildMessageChunkById(f.c, WMailStructure::newId()), QString());
        const WMailStructure::Pointer odd = f.c.newMessage("text", "bob", QDateTime::currentDateTimeUtc());
        odd->id = "x\"><script>";
        f.c.addMessage(f.c.viewRoot(), odd, "hi", false);
        QCOMPARE(WMailConversationPage::buildMessageChunk(f.c, odd), QString());
        QVERIFY(!f.page().contains("<script>"));
    }
};

WIVORA_TEST_MAIN(tst_WMailConversationPage)
#include "tst_WMailConversationPage.moc"
