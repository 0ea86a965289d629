#include "QtTestSuite.h"
#include "DropEvents.h"
#include "TextPlugin.h"
#include "WMailResources.h"
#include "WTalkRendererAccessManager.h"
#include "WTalkRendererPluginFactory.h"
#include "WTalkRendererWebPage.h"
#include "WTalkRendererWebView.h"
#include "WTalkWebDownloadManager.h"

#include <QBuffer>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebElement>
#include <QWebFrame>
#include <QtTest>

namespace {

// A message item with a widget of its own, as the files and album kinds have.
class RendererItem : public TextPlugin
{
public:
    using TextPlugin::TextPlugin;
    QWidget *getRendererWidget() override { return new QLabel(QStringLiteral("renderer of ") + getId()); }
};

bool loaded(WTalkRendererWebView &view)
{
    return QTest::qWaitFor([&] { return view.isLoaded(); }, 10000);
}

} // namespace

class tst_WTalkRendererWebView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { WMailResources::initialise(); }

    // Every answer: the body, its length, and metaDataChanged, readyRead,
    // finished once each and in that order, never an error.
    void answers_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("resource"); // empty: an empty body
        QTest::addColumn<bool>("withDownloads");
        QTest::newRow("page script") << "resourceswivora:///wmailelements/Resources/wmail.js"
                                     << ":/wmailelements/Resources/wmail.js" << false;
        QTest::newRow("emoticon") << "resourceswivora:///emotions/Resources/icon_smile.gif"
                                  << ":/emotions/Resources/icon_smile.gif" << false;
        QTest::newRow("jquery") << "resourceswivora:///wmailelements/Resources/jquery.js"
                                << ":/wmailelements/Resources/jquery.js" << false;
        QTest::newRow("misspelled resource") << "resourceswivora:///wmailelements/Resources/wmial.js" << "" << false;
        QTest::newRow("avatar with size") << "avatarwivora://someuser/48" << "" << true;
        QTest::newRow("avatar") << "avatarwivora://someuser" << "" << true;
        QTest::newRow("content id") << "cidwivora://part1" << "" << true;
        QTest::newRow("web URL naming wivora: through the thread")
            << "http://127.0.0.1:1/x?wivora:y" << "" << true;
        QTest::newRow("wivora: URL without a thread") << "http://127.0.0.1:1/x?wivora:y" << "" << false;
        QTest::newRow("web") << "http://127.0.0.1:1/x.png" << "" << true;
        QTest::newRow("file") << "file:///etc/hostname" << "" << false;
    }
    void answers()
    {
        QFETCH(QString, url);
        QFETCH(QString, resource);
        QFETCH(bool, withDownloads);
        QByteArray expected;
        if (!resource.isEmpty()) {
            QFile file(resource);
            QVERIFY(file.open(QIODevice::ReadOnly));
            expected = file.readAll();
            QVERIFY(!expected.isEmpty());
        }
        WTalkWebDownloadManager downloads;
        if (withDownloads)
            downloads.start();
        WTalkRendererAccessManager manager;
        manager.setDownloadManager(withDownloads ? &downloads : nullptr);
        QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
        QStringList order;
        for (const char *signal : {"metaDataChanged", "readyRead", "finished"}) {
            const QByteArray name(signal);
            connect(reply, QByteArray("2" + name + "()").constData(), this, SLOT(recordSignal()));
        }
        m_order = &order;
        QTRY_VERIFY(reply->isFinished() || order.contains("finished"));
        QTest::qWait(50);
        QCOMPARE(order, (QStringList{"metaDataChanged", "readyRead", "finished"}));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(reply->header(QNetworkRequest::ContentLengthHeader).toString(), QString::number(expected.size()));
        QCOMPARE(reply->readAll(), expected);
        m_order = nullptr;
    }

    // A contact's picture from its vCard, fitted into the size the URL asks.
    void avatars_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QSize>("size"); // invalid: an empty body
        QTest::newRow("fitted") << "avatarwivora://someuser/48" << QSize(48, 24);
        QTest::newRow("as stored") << "avatarwivora://someuser" << QSize(100, 50);
        QTest::newRow("no such contact") << "avatarwivora://nobody/48" << QSize();
        QTest::newRow("not a picture") << "avatarwivora://broken/48" << QSize();
        QTest::newRow("size not a number") << "avatarwivora://someuser/big" << QSize();
    }
    void avatars()
    {
        QFETCH(QString, url);
        QFETCH(QSize, size);
        QImage stored(100, 50, QImage::Format_RGB32);
        stored.fill(Qt::blue);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(stored.save(&buffer, "PNG"));
        WTalkRendererAccessManager manager;
        manager.setAvatarSource([&](const QString &user) {
            return user == "someuser" ? png : user == "broken" ? QByteArray("\x89PNG garbage") : QByteArray();
        });
        QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
        QTRY_VERIFY(reply->isFinished());
        const QByteArray body = reply->readAll();
        if (size.isValid())
            QCOMPARE(QImage::fromData(body, "PNG").size(), size);
        else
            QCOMPARE(body, QByteArray());
    }

    // Nothing a page holds reaches the network or the user's files, and
    // script cannot move the view away or open dialogs.
    void pageStaysInside()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        int connections = 0;
        connect(&listener, &QTcpServer::newConnection, this, [&] {
            ++connections;
            delete listener.nextPendingConnection();
        });
        const QString remote = QStringLiteral("http://127.0.0.1:%1/").arg(listener.serverPort());
        QTemporaryDir dir;
        QFile local(dir.filePath("secret.css"));
        QVERIFY(local.open(QIODevice::WriteOnly));
        local.write("body { background: red; }");
        local.close();

        WTalkRendererWebView view;
        view.resize(400, 300);
        view.show();
        view.showHtml("<html><head><link rel=\"stylesheet\" href=\"" + QUrl::fromLocalFile(local.fileName()).toString()
                      + "\"></head><body><img src=\"" + remote + "a.png\"><iframe src=\"" + remote
                      + "f\"></iframe><script src=\"" + remote + "s.js\"></script><p id=\"p\">x</p></body></html>");
        QVERIFY(loaded(view));
        view.slotEvaluateJavascript("alert('x'); confirm('y'); prompt('z'); window.open('" + remote + "w');"
                                    "window.location = '" + remote + "nav';");
        QTest::qWait(300);
        QCOMPARE(connections, 0);
        QVERIFY(view.page()->mainFrame()->findFirstElement("#p").styleProperty("background-color", QWebElement::ComputedStyle) != "rgb(255, 0, 0)");
        QCOMPARE(view.page()->mainFrame()->url(), QUrl());
        QVERIFY(!view.page()->mainFrame()->findFirstElement("#p").isNull());
    }

    // Scripts given while the page loads run after it, in order.
    void scriptsWaitForTheLoad()
    {
        WMailResources::initialise();
        WTalkRendererWebView view;
        view.showHtml("<html><head><script src=\"resourceswivora:///wmailelements/Resources/jquery.js\"></script>"
                      "</head><body></body></html>");
        view.slotEvaluateJavascript("window.seen = typeof $;");
        view.slotEvaluateJavascript("window.seen += ',second';");
        QVERIFY(loaded(view));
        QCOMPARE(view.page()->mainFrame()->evaluateJavaScript("window.seen").toString(), QStringLiteral("function,second"));
    }

    void embeddedItems_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("withTable");
        QTest::addColumn<bool>("embedded");
        QTest::newRow("known item") << "wivora/glimpserenderer" << "{known}" << true << true;
        QTest::newRow("unknown item") << "wivora/glimpserenderer" << "{other}" << true << false;
        QTest::newRow("editor type") << "wivora/glimpseeditor" << "{known}" << true << false;
        QTest::newRow("editor's view (no table)") << "wivora/glimpserenderer" << "{known}" << false << false;
    }
    void embeddedItems()
    {
        QFETCH(QString, type);
        QFETCH(QString, id);
        QFETCH(bool, withTable);
        QFETCH(bool, embedded);
        WTalkRendererPluginFactory::ItemTable items;
        items.insert("{known}", QSharedPointer<RendererItem>::create("{known}"));
        WTalkRendererWebView view;
        view.resize(600, 400);
        view.show();
        view.rendererPage()->itemFactory()->setItemTable(withTable ? &items : nullptr);
        view.showHtml("<html><body><object type=\"" + type + "\" width=\"100%\" height=\"140px\" glimpseid=\"" + id
                      + "\"></object></body></html>");
        QVERIFY(loaded(view));
        QTest::qWait(100);
        const QList<QLabel *> labels = view.findChildren<QLabel *>();
        QCOMPARE(labels.size(), embedded ? 1 : 0);
        if (embedded)
            QCOMPARE(labels.first()->text(), QStringLiteral("renderer of {known}"));
    }

    void keys_data()
    {
        QTest::addColumn<bool>("editorMode");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("enterSignals");
        QTest::addColumn<bool>("reachesPage");
        QTest::newRow("editor: Enter sends only") << true << int(Qt::NoModifier) << 1 << false;
        QTest::newRow("editor: Shift+Enter is a new line") << true << int(Qt::ShiftModifier) << 0 << true;
        QTest::newRow("conversation: Enter sends and passes") << false << int(Qt::NoModifier) << 1 << true;
    }
    void keys()
    {
        QFETCH(bool, editorMode);
        QFETCH(int, modifiers);
        QFETCH(int, enterSignals);
        QFETCH(bool, reachesPage);
        WTalkRendererWebView view;
        view.setEditorMode(editorMode);
        view.resize(300, 200);
        view.show();
        view.showHtml("<html><body>x</body></html>");
        QVERIFY(loaded(view));
        view.page()->mainFrame()->evaluateJavaScript(
            "window.keys = 0; document.addEventListener('keydown', function(e){ if (e.keyCode == 13) ++window.keys; });");
        QSignalSpy enter(&view, &WTalkRendererWebView::signalEnterPressed);
        QTest::keyClick(&view, Qt::Key_Return, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(enter.count(), enterSignals);
        QCOMPARE(view.page()->mainFrame()->evaluateJavaScript("window.keys").toInt(), reachesPage ? 1 : 0);
    }

    void drops_data()
    {
        QTest::addColumn<QStringList>("names"); // "-" prefix: not created
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<bool>("pictures");
        QTest::newRow("pictures") << QStringList{"a.JPG", "b.png"} << QStringList{"a.JPG", "b.png"} << true;
        QTest::newRow("a .jpeg is a file") << QStringList{"a.JPG", "b.png", "c.jpeg"}
                                           << QStringList{"a.JPG", "b.png", "c.jpeg"} << false;
        QTest::newRow("no extension") << QStringList{"README"} << QStringList{"README"} << false;
        QTest::newRow("missing files") << QStringList{"-x.png", "-y.txt"} << QStringList{} << true;
    }
    void drops()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, sent);
        QFETCH(bool, pictures);
        QTemporaryDir dir;
        QList<QUrl> urls;
        for (QString name : names) {
            const bool create = !name.startsWith('-');
            name.remove(QRegularExpression("^-"));
            if (create) {
                QFile file(dir.filePath(name));
                QVERIFY(file.open(QIODevice::WriteOnly));
            }
            urls << QUrl::fromLocalFile(dir.filePath(name));
        }
        WTalkRendererWebView view;
        QSignalSpy spy(&view, &WTalkRendererWebView::signalSendFiles);
        view.resize(200, 200);
        view.show();
        const bool accepted = dropUrls(&view, urls, QPoint(5, 5));
        // A drop with nothing to send is refused, not taken and lost.
        QCOMPARE(accepted, !sent.isEmpty());
        QCOMPARE(spy.count(), sent.isEmpty() ? 0 : 1);
        if (sent.isEmpty())
            return;
        QStringList expected;
        for (const QString &name : sent)
            expected << dir.filePath(name);
        QCOMPARE(spy.first().at(0).toStringList(), expected);
        QCOMPARE(spy.first().at(1).toBool(), pictures);
    }

    // A download thread that never ran stops at once; a running one ends.
    void downloadThreadStops()
    {
        QElapsedTimer timer;
        timer.start();
        {
            WTalkWebDownloadManager never;
            never.stop();
        }
        WTalkWebDownloadManager running;
        running.start();
        running.stop();
        QVERIFY(running.isFinished());
        QVERIFY(timer.elapsed() < 5000);
    }

private slots:
    void recordSignal()
    {
        if (m_order)
            *m_order << QString::fromLatin1(senderSignalIndex() >= 0
                                                ? sender()->metaObject()->method(senderSignalIndex()).name()
                                                : QByteArray());
    }

private:
    QStringList *m_order = nullptr;
};

WIVORA_TEST_MAIN(tst_WTalkRendererWebView)
#include "tst_WTalkRendererWebView.moc"
