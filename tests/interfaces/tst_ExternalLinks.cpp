#include "QtTestSuite.h"
#include <ExternalLinks.h>

#include <QtTest>

class tst_ExternalLinks : public QObject
{
    Q_OBJECT

private slots:
    void isAllowed_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("web");
        QTest::addColumn<bool>("messaging");
        QTest::newRow("http") << "http://example.org/a?b=c" << true << true;
        QTest::newRow("https, upper-case scheme") << "HTTPS://example.org/" << true << true;
        QTest::newRow("mailto") << "mailto:bob@example.org" << true << true;
        QTest::newRow("ftp only in messaging") << "ftp://example.org/f.txt" << false << true;
        QTest::newRow("ftp without host") << "ftp:///f.txt" << false << false;
        QTest::newRow("file") << "file:///etc/passwd" << false << false;
        QTest::newRow("javascript") << "javascript:alert(1)" << false << false;
        QTest::newRow("data") << "data:text/html,<b>x</b>" << false << false;
        QTest::newRow("private scheme") << "resourceswivora:///wmailelements/Resources/wmail.js" << false << false;
        QTest::newRow("http without host") << "http:///etc/passwd" << false << false;
        QTest::newRow("mailto without address") << "mailto:" << false << false;
        QTest::newRow("relative") << "www.example.org" << false << false;
        QTest::newRow("empty") << "" << false << false;
    }
    void isAllowed()
    {
        QFETCH(QString, url);
        QFETCH(bool, web);
        QFETCH(bool, messaging);
        QCOMPARE(ExternalLinks::isAllowed(QUrl(url)), web);
        QCOMPARE(ExternalLinks::isAllowed(QUrl(url), ExternalLinks::messagingSchemes()), messaging);
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_ExternalLinks)
#include "tst_ExternalLinks.moc"
