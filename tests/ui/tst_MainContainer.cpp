// The logged-in page: the start page from the real service, whose links go
// to the desktop only when they are web or mail addresses, and the plug-in
// pages by name.

#include "QtTestSuite.h"
#include "MainContainer.h"
#include "UrlCatcher.h"
#include "WindowFixture.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QWebElement>
#include <QWebFrame>
#include <QWebView>

class tst_MainContainer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({}), qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
    }

    void linksOpenedOutside_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("opened");

        QTest::newRow("http") << QStringLiteral("http://example.org/page") << true;
        QTest::newRow("https") << QStringLiteral("https://example.org/") << true;
        QTest::newRow("mail") << QStringLiteral("mailto:bob@example.org") << true;
        QTest::newRow("scheme in capitals") << QStringLiteral("HTTPS://example.org/") << true;
        QTest::newRow("local file") << QStringLiteral("file:///etc/passwd") << false;
        QTest::newRow("share") << QStringLiteral("smb://server/share") << false;
        QTest::newRow("ftp") << QStringLiteral("ftp://example.org/file") << false;
        QTest::newRow("script") << QStringLiteral("javascript:alert(1)") << false;
        QTest::newRow("data") << QStringLiteral("data:text/html,<b>x</b>") << false;
        QTest::newRow("custom handler") << QStringLiteral("wivora://run") << false;
        QTest::newRow("http without host") << QStringLiteral("http:/etc/passwd") << false;
        QTest::newRow("empty mail") << QStringLiteral("mailto:") << false;
    }
    void linksOpenedOutside()
    {
        QFETCH(QString, link);
        QFETCH(bool, opened);
        UrlCatcher catcher;
        MainContainer content;
        content.slotLinkClicked(QUrl(link));
        QCOMPARE(catcher.opened.size(), opened ? 1 : 0);
    }

    // A click on the loaded page goes to the desktop; the view stays.
    void startPageLinkClick()
    {
        UrlCatcher catcher;
        MainContainer content;
        QWebView *view = content.startPage();
        QSignalSpy loaded(view, &QWebView::loadFinished);
        content.loadStartPage();
        QVERIFY(loaded.wait(30000));
        QCOMPARE(loaded.first().first().toBool(), true);
        const QUrl startUrl = view->url();
        QCOMPARE(startUrl, QUrl(m_fixture.site() + QStringLiteral("/pages/program/startpage.aspx")));
        QWebElement help = view->page()->mainFrame()->findFirstElement(QStringLiteral("a[href='/pages/help/help.aspx']"));
        QVERIFY(!help.isNull());
        help.evaluateJavaScript(QStringLiteral("this.click()"));
        QTRY_COMPARE(catcher.opened, QList<QUrl>{QUrl(m_fixture.site() + QStringLiteral("/pages/help/help.aspx"))});
        QCOMPARE(view->url(), startUrl);
    }

    void pagesByName()
    {
        MainContainer content;
        auto *first = new QLabel(QStringLiteral("first"));
        auto *second = new QLabel(QStringLiteral("second"));
        content.addPluginWidget(QStringLiteral("Probe"), QIcon(), first);
        content.slotPluginSelected(QStringLiteral("Probe"));
        QCOMPARE(content.currentPage(), static_cast<QWidget *>(first));
        // A later page of the same name takes the name.
        content.addPluginWidget(QStringLiteral("Probe"), QIcon(), second);
        content.slotPluginSelected(QStringLiteral("Probe"));
        QCOMPARE(content.currentPage(), static_cast<QWidget *>(second));
        content.slotPluginSelected(QStringLiteral("unknown"));
        QCOMPARE(content.currentPage(), static_cast<QWidget *>(second));
        content.showStartPage();
        QCOMPARE(content.currentPage(), static_cast<QWidget *>(content.startPage()));
    }

private:
    WindowFixture m_fixture;
};

WIVORA_TEST_MAIN(tst_MainContainer)
#include "tst_MainContainer.moc"
