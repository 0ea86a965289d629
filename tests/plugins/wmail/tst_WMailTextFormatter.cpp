#include "QtTestSuite.h"
#include "WMailResources.h"
#include "WMailTextFormatter.h"

#include <QtTest>

namespace {
QString smiley(const char *file)
{
    return QStringLiteral("<img src=\"resourceswivora:///emotions/Resources/%1\" style=\"border:0px;\" />")
        .arg(QLatin1String(file));
}
} // namespace

class tst_WMailTextFormatter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { WMailResources::initialise(); }

    void emoticonTable()
    {
        const auto &table = WMailTextFormatter::emoticons();
        QCOMPARE(table.size(), 18);
        QCOMPARE(table.first(), qMakePair(QStringLiteral(":)"), QStringLiteral("icon_smile.gif")));
        QCOMPARE(table.last(), qMakePair(QStringLiteral(":mrgreen:"), QStringLiteral("icon_mrgreen.gif")));
        for (const auto &entry : table)
            QVERIFY2(!QImage(QStringLiteral(":/emotions/Resources/") + entry.second).isNull(), qPrintable(entry.second));
    }

    void toHtml_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("html");
        QTest::newRow("two addresses") << "see http://a.org/x and www.b.org"
                                       << "see <a href=\"http://a.org/x\">http://a.org/x</a> and "
                                          "<a href=\"http://www.b.org\">www.b.org</a>";
        QTest::newRow("adjacent addresses") << "http://a.org http://b.org"
                                            << "<a href=\"http://a.org\">http://a.org</a> "
                                               "<a href=\"http://b.org\">http://b.org</a>";
        QTest::newRow("http://www. once") << "http://www.a.org" << "<a href=\"http://www.a.org\">http://www.a.org</a>";
        QTest::newRow("address in an attribute untouched")
            << "<a href=\"http://a.org/\">site</a>" << "<a href=\"http://a.org/\">site</a>";
        QTest::newRow("address ends at a tag") << "<b>http://a.org</b>!"
                                               << "<b><a href=\"http://a.org\">http://a.org</a></b>!";
        QTest::newRow("quote cannot leave the href") << "http://x.org/\"onmouseover=\"alert(1)"
                                                     << "http://x.org/&quot;onmouseover=&quot;alert(1)";
        QTest::newRow("smile and wink") << "hi :) ;)" << "hi " + smiley("icon_smile.gif") + " " + smiley("icon_wink.gif");
        QTest::newRow(":oops: shows :o") << ":oops:" << smiley("icon_surprised.gif") + "ops:";
        QTest::newRow("code in a style untouched") << "<span style=\"color: Purple\">:P</span>"
                                                   << "<span style=\"color: Purple\">" + smiley("icon_razz.gif") + "</span>";
        QTest::newRow("entity before a parenthesis") << "a&nbsp;)" << QString::fromUtf8("a\u00a0)");
        QTest::newRow("escaped quote before a parenthesis") << "&quot;)" << "&quot;)";
        QTest::newRow("no code in a link") << "http://a.org/:P" << "<a href=\"http://a.org/:P\">http://a.org/:P</a>";
    }
    void toHtml()
    {
        QFETCH(QString, text);
        QFETCH(QString, html);
        QCOMPARE(WMailTextFormatter::toHtml(text.toUtf8()), html);
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailTextFormatter)
#include "tst_WMailTextFormatter.moc"
