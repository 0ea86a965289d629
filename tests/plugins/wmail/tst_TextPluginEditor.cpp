#include "QtTestSuite.h"
#include "TextPlugin.h"
#include "TextPluginEditor.h"
#include "WMailResources.h"
#include "WTalkRendererWebView.h"

#include <QAction>
#include <QToolBar>
#include <QWebFrame>
#include <QtTest>

namespace {

QWebFrame *frame(TextPluginEditor &editor)
{
    return editor.webView()->page()->mainFrame();
}

void type(TextPluginEditor &editor, const QString &bodyHtml)
{
    frame(editor)->evaluateJavaScript(QStringLiteral("document.body.innerHTML = decodeURIComponent('%1');")
                                          .arg(QString::fromLatin1(QUrl::toPercentEncoding(bodyHtml))));
}

} // namespace

class tst_TextPluginEditor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { WMailResources::initialise(); }

    void init()
    {
        m_editor.reset(new TextPluginEditor);
        m_editor->resize(400, 200);
        m_editor->show();
        QTRY_VERIFY(m_editor->webView()->isLoaded());
    }
    void cleanup() { m_editor.reset(); }

    // What Enter sends: the body's content, cleaned.
    void prepareHtmlForSending_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("sent");
        QTest::newRow("backslash") << "a\\b" << "a&#92;b";
        QTest::newRow("iframe unwrapped") << "a<iframe>x</iframe>" << "ax ";
        QTest::newRow("styled div kept") << "<div style=\"color: red;\">x</div>" << "<div style=\"color: red;\">x</div>";
        QTest::newRow("script removed with content") << "a<script>var x = 1;</script>b" << "ab";
        QTest::newRow("object removed") << "a<object type=\"x/y\"></object>b" << "ab";
        QTest::newRow("formatting kept") << "<b>bold</b> <i>it</i>" << "<b>bold</b> <i>it</i>";
    }
    void prepareHtmlForSending()
    {
        QFETCH(QString, body);
        QFETCH(QString, sent);
        type(*m_editor, body);
        QCOMPARE(QString::fromUtf8(m_editor->prepareHtmlForSending()), sent);
    }

    void enter_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("sent");
        QTest::newRow("text") << "hello" << int(Qt::NoModifier) << true;
        QTest::newRow("spaces only") << "&nbsp; &nbsp;" << int(Qt::NoModifier) << false;
        QTest::newRow("picture only") << "<img src=\"resourceswivora:///emotions/Resources/icon_smile.gif\">"
                                      << int(Qt::NoModifier) << false;
        QTest::newRow("shift+enter") << "hello" << int(Qt::ShiftModifier) << false;
    }
    void enter()
    {
        QFETCH(QString, body);
        QFETCH(int, modifiers);
        QFETCH(bool, sent);
        type(*m_editor, body);
        QSignalSpy spy(m_editor.get(), &TextPluginEditor::signalNewContentRequest);
        QTest::keyClick(m_editor->webView(), Qt::Key_Return, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(spy.count(), sent ? 1 : 0);
        if (!sent)
            return;
        QCOMPARE(spy.first().at(0).toByteArray(), body.toUtf8());
        QCOMPARE(spy.first().at(1).toString(), TextPlugin::Name);
        // Empty again, and still editable with the caret in it.
        QTRY_VERIFY(m_editor->webView()->isLoaded());
        QCOMPARE(frame(*m_editor)->toPlainText().trimmed(), QString());
        QVERIFY(m_editor->webView()->page()->isContentEditable());
        QTRY_VERIFY(m_editor->webView()->hasFocus() || !QApplication::focusWidget());
    }

    // The tool bar's actions change the page.
    void actions_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("expected");
        QTest::newRow("bold") << "actionBold" << "<b>word</b>";
        QTest::newRow("italic") << "actionItalic" << "<i>word</i>";
        QTest::newRow("centre") << "actionAlign_Center" << "text-align: center";
        QTest::newRow("right") << "actionAlign_Right" << "text-align: right";
    }
    void actions()
    {
        QFETCH(QString, action);
        QFETCH(QString, expected);
        type(*m_editor, "word");
        frame(*m_editor)->evaluateJavaScript("var r = document.createRange(); r.selectNodeContents(document.body);"
                                             "var s = window.getSelection(); s.removeAllRanges(); s.addRange(r);");
        QAction *found = m_editor->findChild<QAction *>(action);
        QVERIFY(found);
        QVERIFY(m_editor->toolBar()->actions().contains(found));
        found->trigger();
        QVERIFY2(frame(*m_editor)->toHtml().contains(expected), qPrintable(frame(*m_editor)->toHtml()));
    }

    void undoRedo()
    {
        type(*m_editor, "word");
        frame(*m_editor)->evaluateJavaScript("var r = document.createRange(); r.selectNodeContents(document.body);"
                                             "var s = window.getSelection(); s.removeAllRanges(); s.addRange(r);");
        m_editor->findChild<QAction *>("actionBold")->trigger();
        QVERIFY(frame(*m_editor)->toHtml().contains("<b>word</b>"));
        m_editor->findChild<QAction *>("actionUndo")->trigger();
        QVERIFY(!frame(*m_editor)->toHtml().contains("<b>"));
        m_editor->findChild<QAction *>("actionRedo")->trigger();
        QVERIFY(frame(*m_editor)->toHtml().contains("<b>word</b>"));
    }

    // The text item: its editor is new each time, it has no renderer.
    void textItem()
    {
        TextPlugin item(QStringLiteral("{id}"), "<b>x</b> :)");
        std::unique_ptr<QWidget> first(item.getEditorWidget());
        std::unique_ptr<QWidget> second(item.getEditorWidget());
        QVERIFY(qobject_cast<TextPluginEditor *>(first.get()));
        QVERIFY(first != second);
        QVERIFY(!item.getRendererWidget());
        QCOMPARE(item.getPreviewData(), QByteArray("<b>x</b> :)"));
        QVERIFY(item.getHtml().startsWith("<b>x</b> <img src=\"resourceswivora:///emotions/Resources/icon_smile.gif\""));
    }

private:
    std::unique_ptr<TextPluginEditor> m_editor;
};

WIVORA_TEST_MAIN(tst_TextPluginEditor)
#include "tst_TextPluginEditor.moc"
