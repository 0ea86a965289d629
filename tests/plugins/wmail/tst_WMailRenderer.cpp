#include "QtTestSuite.h"
#include "DropEvents.h"
#include "FilesEditor.h"
#include "PhotoAlbumEditor.h"
#include "TestHost.h"
#include "TextPluginEditor.h"
#include "WMailFiles.h"
#include "WMailConversationPage.h"
#include "WMailMain.h"
#include "WMailRenderer.h"
#include "WTalkRendererWebView.h"

#include <PSettings.h>
#include <WDataStructure.h>

#include <QBuffer>
#include <QComboBox>
#include <QNetworkReply>
#include <QLineEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QPushButton>
#include <QWebElement>
#include <QWebFrame>
#include <QWheelEvent>
#include <QtTest>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");

// Alice's messaging plug-in with her page showing her conversation with bob.
struct Fixture
{
    explicit Fixture(const QString &storage) : host(storage, kAlice)
    {
        main.setHost(&host);
        main.initPlugin();
        conversation = main.setUser(kBob);
        page = main.chatWidget();
        page->resize(640, 480);
        page->show();
        page->setLinkOpener([this](const QUrl &url) {
            opened << url;
            return true;
        });
    }
    ~Fixture() { host.joinDeliveries(); }

    WTalkRendererWebView *view() const { return page->webView(); }
    QWebFrame *frame() const { return view()->page()->mainFrame(); }
    QVariant evaluate(const QString &script) const { return frame()->evaluateJavaScript(script); }
    int chunkCount() const
    {
        return evaluate(QStringLiteral("$('#mainstorage').children().not('#lastchunk').length")).toInt();
    }
    QStringList chunkIds() const
    {
        return evaluate(QStringLiteral("$('#mainstorage').children().not('#lastchunk')"
                                       ".map(function(){return this.id;}).get()"))
            .toStringList();
    }
    // A message bob wrote, filed as received messages are.
    QString fromBob(const QByteArray &html, const QDateTime &when = QDateTime::currentDateTimeUtc())
    {
        const WMailStructure::Pointer message = conversation->newMessage(QStringLiteral("text"), kBob, when);
        message->localTime = when;
        conversation->addMessage(conversation->viewRoot(), message, html, true);
        return message->id;
    }

    TestHost host;
    WMailMain main;
    WMailConversation::Pointer conversation;
    WMailRenderer *page = nullptr;
    QList<QUrl> opened;
};

// Waits until the page loaded and its queued scripts ran.
bool settled(const Fixture &f)
{
    return QTest::qWaitFor([&] { return f.view()->isLoaded(); }, 10000)
        && QTest::qWaitFor([&] { return f.evaluate(QStringLiteral("typeof wmailOperations")).toString() == "object"; },
                           10000);
}

// One notch of the mouse wheel upwards over the page, as the window system
// delivers it.
void wheelUp(QWidget *view)
{
    const QPoint centre = view->rect().center();
    QWheelEvent wheel(centre, view->mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &wheel);
}

// The page drawn at pixelRatio into the build's screenshot folder.
bool saveScreenshot(QWidget *widget, qreal pixelRatio, const QString &name)
{
    QImage image(widget->size() * pixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(pixelRatio);
    image.fill(Qt::white);
    widget->render(&image);
    const QString folder = QCoreApplication::applicationDirPath() + "/screenshots";
    return QDir().mkpath(folder) && image.save(folder + "/" + name + ".png");
}

} // namespace

class tst_WMailRenderer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        PSettings::SetValue(QStringLiteral("service/domain"), QStringLiteral("127.0.0.1"));
        PSettings::SetValue(QStringLiteral("service/port"), QStringLiteral("1"));
    }
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        m_f.reset(new Fixture(m_dir->path()));
    }
    void cleanup()
    {
        m_f.reset();
        m_dir.reset();
    }

    // The page's limit is what the history box chose, not the page's own
    // default, however soon after the page was given the script runs.
    void historyChoice_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("chunks");
        QTest::newRow("Entire conversation") << "Entire conversation" << -1 << 20;
        QTest::newRow("Current") << "Current" << 15 << 15;
        QTest::newRow("Today") << "Today" << 3 << 3;
        QTest::newRow("Month") << "Month" << 20 << 20;
    }
    void historyChoice()
    {
        QFETCH(QString, entry);
        QFETCH(int, limit);
        QFETCH(int, chunks);
        Fixture &f = *m_f;
        QStringList ids;
        for (int i = 0; i < 20; ++i)
            ids << f.fromBob("m" + QByteArray::number(i), QDateTime::currentDateTimeUtc().addDays(i < 17 ? -3 : 0));
        f.page->historyBox()->setCurrentIndex(f.page->historyBox()->findText("Yesterday"));
        f.page->historyBox()->setCurrentIndex(f.page->historyBox()->findText(entry));
        QVERIFY(settled(f));
        QCOMPARE(f.evaluate("wmailOperations.numberOfShownItems").toInt(), limit);
        QCOMPARE(f.chunkIds(), ids.mid(20 - chunks));
        // Scrolled to the newest message.
        QTRY_COMPARE(f.frame()->scrollPosition().y(), f.frame()->scrollBarMaximum(Qt::Vertical));
        if (chunks > 5)
            QVERIFY(f.frame()->scrollBarMaximum(Qt::Vertical) > 0);
    }

    // A long conversation opens with its newest page; scrolling up with the
    // wheel brings the older pages in order, without moving what is in view.
    void olderPagesComeWhenScrollingUp()
    {
        Fixture &f = *m_f;
        const int total = 2 * WMailConversationPage::PageSize + 20;
        QStringList ids;
        const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-total);
        for (int i = 0; i < total; ++i)
            ids << f.fromBob("message number " + QByteArray::number(i), start.addSecs(i));
        f.page->historyBox()->setCurrentIndex(f.page->historyBox()->findText("Entire conversation"));
        QVERIFY(settled(f));
        QCOMPARE(f.chunkIds(), ids.mid(total - WMailConversationPage::PageSize));
        QTRY_VERIFY(f.frame()->scrollBarMaximum(Qt::Vertical) > 0);
        QTRY_COMPARE(f.frame()->scrollPosition().y(), f.frame()->scrollBarMaximum(Qt::Vertical));

        QSet<int> pageSizesSeen;
        for (int notch = 0; notch < 2000 && f.chunkCount() < total; ++notch) {
            const int before = f.chunkCount();
            wheelUp(f.view());
            QCoreApplication::processEvents();
            if (f.chunkCount() != before) {
                pageSizesSeen << f.chunkCount();
                // The reader still sees what was in view, not the page's top.
                QVERIFY(f.frame()->scrollPosition().y() > 0);
                QCOMPARE(f.chunkIds(), ids.mid(total - f.chunkCount()));
            }
        }
        QCOMPARE(f.chunkIds(), ids);
        QCOMPARE(pageSizesSeen, (QSet<int>{2 * WMailConversationPage::PageSize, total}));
        QVERIFY(saveScreenshot(f.page, 1, "wmail_older_pages"));
        QVERIFY(saveScreenshot(f.page, 2, "wmail_older_pages@2x"));
        // At the top with everything on the page, more scrolling adds nothing.
        wheelUp(f.view());
        QCoreApplication::processEvents();
        QCOMPARE(f.chunkCount(), total);
    }

    // A window taller than the newest page takes older pages until it can
    // scroll, so that the reader can reach the rest.
    void tallWindowFillsUp()
    {
        Fixture &f = *m_f;
        const int total = 4 * WMailConversationPage::PageSize;
        for (int i = 0; i < total; ++i)
            f.fromBob("line " + QByteArray::number(i));
        f.page->resize(640, 4000);
        f.page->historyBox()->setCurrentIndex(f.page->historyBox()->findText("Entire conversation"));
        QVERIFY(settled(f));
        QTRY_VERIFY(f.frame()->scrollBarMaximum(Qt::Vertical) > 0);
        QVERIFY(f.chunkCount() > WMailConversationPage::PageSize);
        QVERIFY(f.chunkCount() < total);
    }

    // A search typed in the tool bar, then clicked or ended with Return,
    // finds a message older than the page holds: the pages down to it come
    // in and the word is selected.
    void searchFindsOlderMessages_data()
    {
        QTest::addColumn<bool>("byReturn");
        QTest::newRow("Search clicked") << false;
        QTest::newRow("Return pressed") << true;
    }
    void searchFindsOlderMessages()
    {
        QFETCH(bool, byReturn);
        Fixture &f = *m_f;
        const int total = 3 * WMailConversationPage::PageSize;
        QStringList ids;
        const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-total);
        for (int i = 0; i < total; ++i)
            ids << f.fromBob(i == 7 ? "the <b>needle</b> is here" : "hay " + QByteArray::number(i), start.addSecs(i));
        f.page->historyBox()->setCurrentIndex(f.page->historyBox()->findText("Entire conversation"));
        QVERIFY(settled(f));
        QCOMPARE(f.chunkCount(), WMailConversationPage::PageSize);

        QTest::mouseClick(f.page->searchLine(), Qt::LeftButton);
        QTest::keyClicks(f.page->searchLine(), "NEEDLE");
        QPushButton *search = nullptr;
        for (QPushButton *button : f.page->findChildren<QPushButton *>()) {
            if (button->text() == QStringLiteral("Search"))
                search = button;
        }
        QVERIFY(search);
        if (byReturn)
            QTest::keyClick(f.page->searchLine(), Qt::Key_Return);
        else
            QTest::mouseClick(search, Qt::LeftButton);
        QTRY_VERIFY(f.chunkIds().contains(ids.at(7)));
        QCOMPARE(f.chunkIds(), ids.mid(f.chunkCount() == total ? 0 : total - f.chunkCount()));
        QCOMPARE(f.view()->page()->selectedText(), QStringLiteral("needle"));

        // A word in no message loads nothing more.
        f.page->refreshPage();
        QVERIFY(settled(f));
        f.page->searchLine()->clear();
        QTest::keyClicks(f.page->searchLine(), "absentword");
        if (byReturn)
            QTest::keyClick(f.page->searchLine(), Qt::Key_Return);
        else
            QTest::mouseClick(search, Qt::LeftButton);
        QCOMPARE(f.chunkCount(), WMailConversationPage::PageSize);
    }

    // Choosing "Today" when nothing is that recent keeps the count.
    void todayWithoutMessagesOfToday()
    {
        Fixture &f = *m_f;
        f.fromBob("old", QDateTime::currentDateTimeUtc().addDays(-5));
        f.page->historyBox()->setCurrentIndex(f.page->historyBox()->findText("Entire conversation"));
        f.page->historyBox()->setCurrentIndex(f.page->historyBox()->findText("Today"));
        QVERIFY(settled(f));
        QCOMPARE(f.conversation->numberOfShownItems(), -1);
        QCOMPARE(f.chunkCount(), 1);
    }

    // Enter in the editor: the message is on the page, in the file and on
    // its way to bob.
    void sendText()
    {
        Fixture &f = *m_f;
        QVERIFY(settled(f));
        TextPluginEditor *editor = f.page->textEditor();
        QTRY_VERIFY(editor->webView()->isLoaded());
        editor->webView()->page()->mainFrame()->evaluateJavaScript("document.body.innerHTML = 'it\\'s \"quoted\"\\\\ <b>bold</b>';");
        QTest::keyClick(editor->webView(), Qt::Key_Return);

        QTRY_COMPARE(f.chunkCount(), 1);
        const QString id = f.chunkIds().first();
        QVERIFY(f.evaluate(QStringLiteral("$(\"div[id='%1']\").html()").arg(id)).toString().contains("<b>bold</b>"));
        QCOMPARE(f.evaluate(QStringLiteral("$(\"div[id='%1']\").text().indexOf('it\\'s \"quoted\"\\\\') >= 0").arg(id)).toBool(), true);
        QCOMPARE(f.host.buffered().size(), 1);
        QCOMPARE(f.host.buffered().first().user, kBob);
        WMailConversation stored(f.host.getPluginStoragePath("wmail"), kBob);
        QVERIFY(stored.load());
        QCOMPARE(stored.messageIds(), QStringList{id});
        QCOMPARE(editor->webView()->page()->mainFrame()->toPlainText().trimmed(), QString());
    }

    // Files and an album sent from their editors are stored, buffered for
    // bob and shown as embedded objects.
    void sendFilesAndAlbum()
    {
        Fixture &f = *m_f;
        QVERIFY(settled(f));
        QFile file(m_dir->filePath("notes.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("notes");
        file.close();
        QImage picture(30, 20, QImage::Format_RGB32);
        picture.fill(Qt::green);
        QVERIFY(picture.save(m_dir->filePath("green.png")));

        f.page->filesEditor()->slotAddFiles({file.fileName()});
        f.page->filesEditor()->on_actionSend_files_triggered();
        f.page->albumEditor()->slotAddFiles({m_dir->filePath("green.png")});
        f.page->albumEditor()->on_actionSend_files_triggered();

        QTRY_COMPARE(f.chunkCount(), 2);
        QCOMPARE(f.host.buffered().size(), 2);
        for (const QString &id : f.chunkIds())
            QCOMPARE(f.evaluate(QStringLiteral("$(\"object[glimpseid='%1']\").length").arg(id)).toInt(), 1);
    }

    // Files dropped on the conversation page go out as a files item, as
    // from the editor: on the page, stored, and in the record for bob.
    void filesDroppedOnThePageAreSent()
    {
        Fixture &f = *m_f;
        QVERIFY(settled(f));
        QFile file(m_dir->filePath("notes.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("notes");
        file.close();

        QVERIFY(dropUrls(f.view(), {QUrl::fromLocalFile(file.fileName())}, f.view()->rect().center()));

        QTRY_COMPARE(f.chunkCount(), 1);
        const QString id = f.chunkIds().first();
        const WMailStructure::Pointer message = f.conversation->root()->findStructure(id);
        QVERIFY(message);
        QCOMPARE(message->itemType, QStringLiteral("files"));
        QCOMPARE(f.host.buffered().size(), 1);
        const KvrConfig record = f.host.buffered().first().record;
        WMailFiles::Entry entry;
        QVERIFY(WMailFiles::readEntry(record.GetValue("plugin"), 0, &entry));
        QCOMPARE(entry.name, QStringLiteral("notes.txt"));
        QCOMPARE(entry.contents, QByteArray("notes"));
        WMailConversation stored(f.host.getPluginStoragePath("wmail"), kBob);
        QVERIFY(stored.load());
        QCOMPARE(stored.loadItemData(id), record.GetValue("plugin"));
    }

    // Adding a chunk that is there changes nothing; past the limit the
    // oldest goes.
    void addToPage()
    {
        Fixture &f = *m_f;
        const QString first = f.fromBob("first");
        f.page->historyBox()->setCurrentIndex(f.page->historyBox()->findText("Entire conversation"));
        QVERIFY(settled(f));
        f.page->addMessageToPage(first);
        QCOMPARE(f.chunkCount(), 1);

        f.evaluate("wmailOperations.setNumberOfShownItems(3);"); // two chunks and the end marker
        QStringList later;
        for (int i = 0; i < 3; ++i) {
            later << f.fromBob("later");
            f.page->addMessageToPage(later.last());
        }
        QCOMPARE(f.chunkIds(), later.mid(1));
    }

    // A chunk with both quotes, backslashes, line breaks and JS line
    // terminators reaches the page whole, as one script line.
    void escapeForScript()
    {
        const QString chunk = QString::fromUtf8("a\"b'c\\d\r\ne\u2028f\u2029g");
        const QString escaped = WMailRenderer::escapeForScript(chunk);
        QCOMPARE(escaped, QStringLiteral("a&cudzb&appc\\\\de\\u2028f\\u2029g"));
        Fixture &f = *m_f;
        QVERIFY(settled(f));
        QCOMPARE(f.evaluate("wmailOperations.decode('" + escaped + "')").toString(),
                 QString::fromUtf8("a\"b'c\\de\u2028f\u2029g"));
    }

    // Nothing a peer writes runs, loads from anywhere or leaves its bubble.
    void injection_data()
    {
        QTest::addColumn<QString>("html"); // PORT: a listener on 127.0.0.1
        QTest::newRow("script") << "<script>window.__pwned = 1;</script>x";
        QTest::newRow("img onerror") << "<img src=\"nothing.png\" onerror=\"window.__pwned = 1\">";
        QTest::newRow("javascript link") << "<a id=\"evil\" href=\"javascript:window.__pwned=1\">click</a>";
        QTest::newRow("remote image") << "<img src=\"http://127.0.0.1:PORT/x.png\">";
        QTest::newRow("object with a known id") << "<object type=\"wivora/glimpserenderer\" glimpseid=\"KNOWN\"></object>";
        QTest::newRow("css url") << "<div style=\"background-image: url(http://127.0.0.1:PORT/bg.png)\">x</div>";
        QTest::newRow("attribute-breaking link") << "http://127.0.0.1:PORT/\"onmouseover=\"window.__pwned=1\" x=\"";
        QTest::newRow("meta refresh") << "<meta http-equiv=\"refresh\" content=\"0;url=http://127.0.0.1:PORT/\">";
        QTest::newRow("iframe") << "<iframe src=\"http://127.0.0.1:PORT/\"></iframe>";
        QTest::newRow("svg with script") << "<svg xmlns=\"http://www.w3.org/2000/svg\"><script>window.__pwned=1</script>"
                                            "<image href=\"http://127.0.0.1:PORT/s.png\"/></svg>";
        QTest::newRow("escape mainstorage") << "</div></div></div></body><div id=\"outside\">out</div>"
                                              "<script>window.__pwned=1</script>";
        QTest::newRow("style element") << "<style>body{background:url(http://127.0.0.1:PORT/s.png)}</style>x";
        QTest::newRow("link element") << "<link rel=\"stylesheet\" href=\"http://127.0.0.1:PORT/s.css\">x";
    }
    void injection()
    {
        QFETCH(QString, html);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        int connections = 0;
        connect(&listener, &QTcpServer::newConnection, this, [&] {
            ++connections;
            delete listener.nextPendingConnection();
        });
        Fixture &f = *m_f;
        const QString known = f.fromBob("known"); // an item of the conversation
        html.replace("PORT", QString::number(listener.serverPort())).replace("KNOWN", known);

        // Both roads into the page: built with it, and added later by script.
        const QString built = f.fromBob(html.toUtf8());
        f.page->refreshPage();
        QVERIFY(settled(f));
        const QString added = f.fromBob(html.toUtf8());
        f.page->addMessageToPage(added);
        QWebElement link = f.frame()->findFirstElement("a[href]");
        if (!link.isNull())
            link.evaluateJavaScript("this.click(); var e = document.createEvent('MouseEvents');"
                                    "e.initMouseEvent('mouseover', true, true, window, 0, 0, 0, 0, 0, false, false, "
                                    "false, false, 0, null); this.dispatchEvent(e);");
        QTest::qWait(300);

        QCOMPARE(f.evaluate("typeof window.__pwned").toString(), QStringLiteral("undefined"));
        QCOMPARE(f.chunkIds(), (QStringList{known, built, added}));
        QCOMPARE(f.evaluate("$('body').children().length").toInt(), 1);
        QVERIFY(f.frame()->findFirstElement("object").isNull());
        QVERIFY(f.frame()->findFirstElement("iframe").isNull());
        QCOMPARE(f.frame()->url(), QUrl());
        QCOMPARE(connections, 0);
        QVERIFY(f.opened.isEmpty());
    }

    // Clicked links leave the program only for the schemes it allows; the
    // page itself never navigates.
    void linkClicked_data()
    {
        QTest::addColumn<QString>("href");
        QTest::addColumn<bool>("opened");
        QTest::newRow("http") << "http://example.org/" << true;
        QTest::newRow("ftp") << "ftp://example.org/f" << true;
        QTest::newRow("file") << "file:///etc/passwd" << false;
        QTest::newRow("private scheme") << "resourceswivora:///wmailelements/Resources/wmail.js" << false;
    }
    void linkClicked()
    {
        QFETCH(QString, href);
        QFETCH(bool, opened);
        Fixture &f = *m_f;
        f.fromBob("<a href=\"http://example.org/\">here</a>");
        f.page->refreshPage();
        QVERIFY(settled(f));
        const QWebElement link = f.frame()->findFirstElement("a[href]");
        QVERIFY(!link.isNull());
        if (href == QLatin1String("http://example.org/")) {
            const QPoint at = link.geometry().center() - f.frame()->scrollPosition();
            QVERIFY2(f.view()->rect().contains(at), qPrintable(QString("%1,%2").arg(at.x()).arg(at.y())));
            QTest::mouseMove(f.view(), at);
            QTest::mouseClick(f.view(), Qt::LeftButton, {}, at);
        } else {
            f.page->slotlinkClicked(QUrl(href));
        }
        QTRY_COMPARE(f.opened.size(), opened ? 1 : 0);
        if (opened && href == QLatin1String("http://example.org/"))
            QCOMPARE(f.opened.first(), QUrl(href));
        QCOMPARE(f.frame()->url(), QUrl());
        QCOMPARE(f.chunkCount(), 1);
    }

    void searchAbsentWord()
    {
        Fixture &f = *m_f;
        f.fromBob("hello there");
        f.page->refreshPage();
        QVERIFY(settled(f));
        const QString before = f.frame()->toHtml();
        f.page->searchLine()->setText("absentword");
        f.page->slotSearch();
        QCOMPARE(f.view()->page()->selectedText(), QString());
        QCOMPARE(f.frame()->toHtml(), before);
        f.page->searchLine()->setText("there");
        f.page->slotSearch();
        QCOMPARE(f.view()->page()->selectedText(), QStringLiteral("there"));
    }

    // The page's avatar URLs show the picture of the contact's vCard in the account.
    void contactAvatar()
    {
        Fixture &f = *m_f;
        QImage picture(64, 64, QImage::Format_RGB32);
        picture.fill(Qt::red);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, "PNG");
        auto contact = QSharedPointer<WDataStructure>::create();
        contact->sv("section", kBob);
        auto vcard = QSharedPointer<WDataStructure>::create();
        vcard->sv("section", "vcard");
        vcard->SetValue("avatar", png);
        contact->AddStructure(vcard);
        f.host.getAccount()->contactsData->AddStructure(contact);

        QCOMPARE(f.main.contactAvatar(kBob), png);
        QCOMPARE(f.main.contactAvatar("carol"), QByteArray());
        QNetworkReply *reply = f.view()->page()->networkAccessManager()->get(QNetworkRequest(QUrl("avatarwivora://bob/32")));
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(QImage::fromData(reply->readAll(), "PNG").size(), QSize(32, 32));
    }

    // Pictures of the conversation and the editor for a person to look at.
    void screenshots()
    {
        Fixture &f = *m_f;
        f.page->resize(560, 520);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        f.fromBob("Hi Alice :) did you see www.example.org today?", now.addSecs(-300));
        const WMailStructure::Pointer mine = f.conversation->newMessage("text", kAlice, now.addSecs(-200));
        mine->localTime = now.addSecs(-200);
        f.conversation->addMessage(f.conversation->viewRoot(), mine,
                                   "Yes! <b>Great</b> read :D see http://example.org/notes ;)", true);
        f.fromBob("<i>Cool</i> 8-) talk later :P", now.addSecs(-100));
        f.page->refreshPage();
        QVERIFY(settled(f));
        f.page->textEditor()->webView()->page()->mainFrame()->evaluateJavaScript(
            "document.body.innerHTML = 'Typing a <b>bold</b> and <i>italic</i> reply';");
        QTest::qWait(300);
        const QString folder = QCoreApplication::applicationDirPath() + "/screenshots";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(f.page->grab().save(folder + "/wmail_conversation.png"));
        QVERIFY(f.page->textEditor()->grab().save(folder + "/wmail_editor.png"));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Fixture> m_f;
};

WIVORA_TEST_MAIN(tst_WMailRenderer)
#include "tst_WMailRenderer.moc"
