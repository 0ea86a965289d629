#include "TextPluginEditor.h"

#include "TextPlugin.h"
#include "WTalkRendererWebView.h"

#include <QApplication>
#include <QGridLayout>
#include <QMouseEvent>
#include <QToolBar>
#include <QWebFrame>

namespace {
const QString kEmptyPage =
    QStringLiteral("<head><style type=\"text/css\">body{font-size:11px;}</style></head><body></body>");
}

TextPluginEditor::TextPluginEditor(QWidget *parent, const QList<QAction *> &extraActions)
    : QWidget(parent), m_view(new WTalkRendererWebView(this)), m_toolBar(new QToolBar(this))
{
    setObjectName(QStringLiteral("TextPluginEditorClass"));
    setWindowTitle(QStringLiteral("TextPluginEditor"));
    resize(400, 300);
    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setSpacing(1);
    grid->setContentsMargins(1, 1, 1, 1);
    m_toolBar->setIconSize(QSize(16, 16));
    m_view->setEditorMode(true);
    // Typed text sits on plain white: nothing of the window shows through.
    QPalette opaque = m_view->page()->palette();
    opaque.setBrush(QPalette::Base, Qt::white);
    m_view->page()->setPalette(opaque);
    m_view->setObjectName(QStringLiteral("editorView"));

    if (!extraActions.isEmpty()) {
        m_toolBar->addActions(extraActions);
        m_toolBar->addSeparator();
    }
    QWebPage *page = m_view->page();
    connect(addEditorAction(QStringLiteral("actionBold"), tr("Bold"), QStringLiteral("bold")), &QAction::triggered,
            this, [page] { page->triggerAction(QWebPage::ToggleBold); });
    connect(addEditorAction(QStringLiteral("actionItalic"), tr("Italic"), QStringLiteral("italic")),
            &QAction::triggered, this, [page] { page->triggerAction(QWebPage::ToggleItalic); });
    m_toolBar->addSeparator();
    connect(addEditorAction(QStringLiteral("actionAlign_Left"), tr("Align Left"), QStringLiteral("alignleft")),
            &QAction::triggered, this, [this] { runEditorCommand(QStringLiteral("justifyLeft")); });
    connect(addEditorAction(QStringLiteral("actionAlign_Center"), tr("Align Center"), QStringLiteral("aligncenter")),
            &QAction::triggered, this, [this] { runEditorCommand(QStringLiteral("justifyCenter")); });
    connect(addEditorAction(QStringLiteral("actionAlign_Right"), tr("Align Right"), QStringLiteral("alignright")),
            &QAction::triggered, this, [this] { runEditorCommand(QStringLiteral("justifyRight")); });
    m_toolBar->addSeparator();
    connect(addEditorAction(QStringLiteral("actionUndo"), tr("Undo"), QStringLiteral("undo")), &QAction::triggered,
            this, [page] { page->triggerAction(QWebPage::Undo); });
    connect(addEditorAction(QStringLiteral("actionRedo"), tr("Redo"), QStringLiteral("redo")), &QAction::triggered,
            this, [page] { page->triggerAction(QWebPage::Redo); });

    grid->addWidget(m_toolBar, 0, 0);
    grid->addWidget(m_view, 1, 0);
    connect(m_view, &WTalkRendererWebView::signalEnterPressed, this, &TextPluginEditor::slotEditorEnterPressed);
    connect(m_view, &WTalkRendererWebView::signalSendFiles, this, &TextPluginEditor::signalFilesDropped);
    resetEditor();
}

QAction *TextPluginEditor::addEditorAction(const QString &objectName, const QString &text, const QString &icon)
{
    auto *action = new QAction(QIcon(QStringLiteral(":/editor/Resources/") + icon + QStringLiteral(".png")), text, this);
    action->setObjectName(objectName);
    m_toolBar->addAction(action);
    return action;
}

void TextPluginEditor::resetEditor()
{
    m_view->showHtml(kEmptyPage);
    m_view->setFocus();
    m_view->page()->setContentEditable(true);
    // A click in the middle puts the caret into the editable body.
    const QPoint centre(m_view->width() / 2, m_view->height() / 2);
    QApplication::postEvent(m_view, new QMouseEvent(QEvent::MouseButtonPress, centre, Qt::LeftButton,
                                                    Qt::LeftButton, Qt::NoModifier));
    QApplication::postEvent(m_view, new QMouseEvent(QEvent::MouseButtonRelease, centre, Qt::LeftButton,
                                                    Qt::NoButton, Qt::NoModifier));
}

void TextPluginEditor::runEditorCommand(const QString &name)
{
    m_view->slotEvaluateJavascript(QStringLiteral("document.execCommand(\"%1\", false, null)").arg(name));
}

void TextPluginEditor::slotEditorEnterPressed()
{
    if (m_view->page()->mainFrame()->toPlainText().trimmed().isEmpty())
        return;
    emit signalNewContentRequest(prepareHtmlForSending(), TextPlugin::Name);
    resetEditor();
}

QByteArray TextPluginEditor::prepareHtmlForSending() const
{
    const QWebFrame *frame = m_view->page()->mainFrame();
    QString html = frame->toHtml();
    if (frame->toPlainText().isEmpty() && !html.contains(QLatin1String("<img")))
        return QByteArray();
    html = extractElementContent(QStringLiteral("<body"), QStringLiteral("</body"), html);
    html = removeElements(QStringLiteral("script"), html);
    html = unwrapElements(QStringLiteral("iframe"), html);
    html = removeElements(QStringLiteral("object"), html);
    html.replace(QLatin1Char('\\'), QLatin1String("&#92;"));
    return html.toUtf8();
}

QString TextPluginEditor::extractElementContent(const QString &open, const QString &close, const QString &html)
{
    const int start = html.indexOf(open);
    if (start < 0)
        return QString();
    const int gt = html.indexOf(QLatin1Char('>'), start);
    if (gt < 0)
        return QString();
    const int end = html.indexOf(close, gt);
    return end < 0 ? html.mid(gt + 1) : html.mid(gt + 1, end - gt - 1);
}

QString TextPluginEditor::removeElements(const QString &name, QString html)
{
    const QString open = QLatin1Char('<') + name;
    const QString close = QStringLiteral("</") + name;
    for (int pos = html.indexOf(open); pos >= 0; pos = html.indexOf(open)) {
        const int gt = html.indexOf(QLatin1Char('>'), pos);
        const int closeAt = gt < 0 ? -1 : html.indexOf(close, gt);
        if (closeAt >= 0) {
            const int closeEnd = html.indexOf(QLatin1Char('>'), closeAt);
            html.remove(pos, (closeEnd < 0 ? html.size() : closeEnd + 1) - pos);
        } else if (gt < 0) {
            html.remove(pos, open.size());
        } else {
            html.remove(pos, gt + 1 - pos);
        }
    }
    return html.replace(close + QLatin1Char('>'), QStringLiteral(" "));
}

QString TextPluginEditor::unwrapElements(const QString &name, QString html)
{
    const QString open = QLatin1Char('<') + name;
    for (int pos = html.indexOf(open); pos >= 0; pos = html.indexOf(open)) {
        const int gt = html.indexOf(QLatin1Char('>'), pos);
        html.remove(pos, gt < 0 ? open.size() : gt + 1 - pos);
    }
    return html.replace(QStringLiteral("</") + name + QLatin1Char('>'), QStringLiteral(" "));
}
