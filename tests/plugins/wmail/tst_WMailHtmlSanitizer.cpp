#include "QtTestSuite.h"
#include "WMailHtmlSanitizer.h"

#include <QtTest>

class tst_WMailHtmlSanitizer : public QObject
{
    Q_OBJECT

private slots:
    void sanitize_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("clean");
        // Kept: formatting the editor writes.
        QTest::newRow("formatting") << "<b>a</b><i>b</i><u>c</u><strong>d</strong><em>e</em><s>f</s>"
                                    << "<b>a</b><i>b</i><u>c</u><strong>d</strong><em>e</em><s>f</s>";
        QTest::newRow("aligned div") << "<div style=\"text-align: center;\">x</div>"
                                     << "<div style=\"text-align: center\">x</div>";
        QTest::newRow("font") << "<font color=\"#ff0000\" face=\"Arial\" size=\"3\">x</font>"
                              << "<font color=\"#ff0000\" face=\"Arial\" size=\"3\">x</font>";
        QTest::newRow("line break") << "a<br>b" << "a<br />b";
        QTest::newRow("web link") << "<a href=\"https://example.org/a?b=1&amp;c=2\">x</a>"
                                  << "<a href=\"https://example.org/a?b=1&amp;c=2\">x</a>";
        QTest::newRow("emoticon picture") << "<img src=\"resourceswivora:///emotions/Resources/icon_smile.gif\">"
                                          << "<img src=\"resourceswivora:///emotions/Resources/icon_smile.gif\" />";
        QTest::newRow("text escaped") << "1 &lt; 2 &amp; \"q\"" << "1 &lt; 2 &amp; &quot;q&quot;";
        // Dropped with their content.
        QTest::newRow("script") << "a<script>alert(1)</script>b" << "ab";
        QTest::newRow("style element") << "<style>body{background:url(http://x/)}</style>a" << "a";
        QTest::newRow("object") << "<object type=\"wivora/glimpserenderer\" glimpseid=\"{x}\">f</object>a" << "a";
        QTest::newRow("iframe") << "<iframe src=\"http://127.0.0.1/\">f</iframe>a" << "a";
        QTest::newRow("svg with script") << "<svg onload=\"alert(1)\"><script>alert(1)</script></svg>a" << "a";
        QTest::newRow("meta refresh") << "<meta http-equiv=\"refresh\" content=\"0;url=http://x/\">a" << "a";
        QTest::newRow("embed") << "<embed src=\"http://x/\"></embed>a" << "a";
        // Attributes and values off the list.
        QTest::newRow("event handler") << "<img src=x onerror=\"alert(1)\"><b onclick=\"x()\">b</b>" << "<b>b</b>";
        QTest::newRow("javascript link") << "<a href=\"javascript:alert(1)\">x</a>" << "<a>x</a>";
        QTest::newRow("entity-hidden javascript") << "<a href=\"jav&#x61;script:alert(1)\">x</a>" << "<a>x</a>";
        QTest::newRow("file link") << "<a href=\"file:///etc/passwd\">x</a>" << "<a>x</a>";
        QTest::newRow("remote picture") << "<img src=\"http://127.0.0.1:1/x.png\">a" << "a";
        QTest::newRow("css url") << "<span style=\"color: red; background: url(http://x/)\">a</span>"
                                 << "<span style=\"color: red\">a</span>";
        QTest::newRow("css expression") << "<span style=\"color: expression(alert(1))\">a</span>" << "<span>a</span>";
        QTest::newRow("attribute-breaking href") << "<a href='http://x/\"onmouseover=\"alert(1)'>x</a>" << "<a>x</a>";
        QTest::newRow("id and class") << "<div id=\"mainstorage\" class=\"graytext\">a</div>" << "<div>a</div>";
        // Structure: unknown elements keep their text; every element is closed.
        QTest::newRow("unknown element") << "<blink>a</blink><table><tr><td>b</td></tr></table>" << "ab";
        QTest::newRow("unbalanced end tags") << "a</div></div></td></table>b" << "ab";
        QTest::newRow("unclosed") << "<b><i>a" << "<b><i>a</i></b>";
        QTest::newRow("comment") << "a<!-- <script>x</script> -->b" << "ab";
        QTest::newRow("stray end of body") << "a</body></html>b" << "a<p>b</p>";
        QTest::newRow("empty") << "" << "";
    }
    void sanitize()
    {
        QFETCH(QString, html);
        QFETCH(QString, clean);
        QCOMPARE(WMailHtmlSanitizer::sanitize(html), clean);
    }

    // Deep nesting is flattened (within the parser's own limit, the text
    // stays) and never recursed into a stack overflow; tags stay balanced.
    void deepNesting_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<bool>("textKept");
        QTest::newRow("150") << 150 << true;
        QTest::newRow("100000") << 100000 << false;
    }
    void deepNesting()
    {
        QFETCH(int, depth);
        QFETCH(bool, textKept);
        const QString clean = WMailHtmlSanitizer::sanitize(QStringLiteral("<b>").repeated(depth) + QStringLiteral("x"));
        QCOMPARE(clean.contains(QLatin1Char('x')), textKept);
        QVERIFY(clean.count(QStringLiteral("<b>")) <= 100);
        QCOMPARE(clean.count(QStringLiteral("<b>")), clean.count(QStringLiteral("</b>")));
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailHtmlSanitizer)
#include "tst_WMailHtmlSanitizer.moc"
