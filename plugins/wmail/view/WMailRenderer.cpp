#include "WMailRenderer.h"

#include "FilesEditor.h"
#include "FilesPlugin.h"
#include "PhotoAlbumEditor.h"
#include "PhotoAlbumPlugin.h"
#include "TextPluginEditor.h"
#include "WMailConversationPage.h"
#include "WTalkRendererPluginFactory.h"
#include "WTalkRendererWebPage.h"
#include "WTalkRendererWebView.h"

#include <ExternalLinks.h>

#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWebFrame>
#include <QtDebug>

namespace {

const int kCurrent = -2;
const int kEntire = -3;

QFont smallFont(const QFont &base)
{
    QFont font = base;
    font.setPointSize(7);
    return font;
}

} // namespace

WMailRenderer::WMailRenderer(QWidget *parent)
    : QWidget(parent), m_toolBar(new QToolBar(this)), m_splitter(new QSplitter(Qt::Vertical, this)),
      m_view(new WTalkRendererWebView(m_splitter)), m_editors(new QStackedWidget(m_splitter)),
      m_history(new QComboBox(this)), m_searchLine(new QLineEdit(this)),
      m_searchButton(new QPushButton(tr("Search"), this)),
      m_openLink([](const QUrl &url) { return ExternalLinks::open(url, ExternalLinks::messagingSchemes()); })
{
    setObjectName(QStringLiteral("WMailRenderer"));
    setWindowTitle(QStringLiteral("WMailRenderer"));
    resize(472, 341);
    auto *grid = new QGridLayout(this);
    grid->setSpacing(2);
    grid->setContentsMargins(2, 2, 2, 2);
    auto *column = new QVBoxLayout;
    column->setSpacing(6);
    grid->addLayout(column, 0, 0);
    column->addWidget(m_toolBar);
    column->addWidget(m_splitter);

    QAction *textEditorAction = makeAction(QStringLiteral("actionText_Editor"), tr("Text Editor"),
                                           QStringLiteral(":/icons/Resources/edit.png"));
    QAction *entire = makeAction(QStringLiteral("actionShow_Entire_Conversation"), tr("Show Entire Conversation"),
                                QStringLiteral(":/icons/Resources/Chat.png"));
    QAction *attachments = makeAction(QStringLiteral("actionShow_Attachments"), tr("Show Attachments"),
                                     QStringLiteral(":/fileseditor/Resources/attachment.png"));
    QAction *albums = makeAction(QStringLiteral("actionShow_photoalbums"), tr("Show photoalbums"),
                                QStringLiteral(":/photoalbum/Resources/photo.png"));

    m_toolBar->setIconSize(QSize(16, 16));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    auto *historyLabel = new QLabel(tr(" Show history: "), this);
    historyLabel->setFont(smallFont(historyLabel->font()));
    m_toolBar->addWidget(historyLabel);
    const QList<QPair<QString, int>> ranges{{tr("Current"), kCurrent}, {tr("Today"), 0},
                                            {tr("Yesterday"), -1},     {tr("Week"), -7},
                                            {tr("Month"), -31},        {tr("Entire conversation"), kEntire}};
    for (const auto &range : ranges)
        m_history->addItem(range.first, range.second);
    m_history->setFont(smallFont(m_history->font()));
    m_history->setMaximumHeight(14);
    m_history->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_toolBar->addWidget(m_history);
    m_toolBar->addSeparator();
    m_toolBar->addActions({entire, attachments, albums});
    m_toolBar->addSeparator();
    m_searchLine->setFont(smallFont(m_searchLine->font()));
    m_searchLine->setMaximumHeight(14);
    m_searchLine->setMaximumWidth(100);
    m_toolBar->addWidget(m_searchLine);
    m_searchButton->setFont(smallFont(m_searchButton->font()));
    m_searchButton->setMaximumHeight(16);
    m_toolBar->addWidget(m_searchButton);

    QAction *filesEditorAction = makeAction(QStringLiteral("actionAttachments"), tr("Attachments"),
                                            QStringLiteral(":/fileseditor/Resources/attachment.png"));
    QAction *albumEditorAction = makeAction(QStringLiteral("actionPhoto_Album"), tr("Photo Album"),
                                            QStringLiteral(":/photoalbum/Resources/photo.png"));
    const QList<QAction *> editorActions{textEditorAction, filesEditorAction, albumEditorAction};
    m_textEditor = new TextPluginEditor(m_editors, editorActions);
    m_textEditor->setMinimumHeight(90);
    m_editors->addWidget(m_textEditor);
    m_filesEditor = new FilesEditor(m_editors, editorActions);
    m_editors->addWidget(m_filesEditor);
    m_albumEditor = new PhotoAlbumEditor(m_editors, editorActions);
    m_editors->addWidget(m_albumEditor);
    m_splitter->addWidget(m_view);
    m_splitter->addWidget(m_editors);
    m_splitter->setSizes({3000, 90});

    m_view->page()->setLinkDelegationPolicy(QWebPage::DelegateAllLinks);
    m_view->setContextMenuPolicy(Qt::CustomContextMenu); // the page has no context menu
    m_downloads.start();
    m_view->setDownloadManager(&m_downloads);

    connect(m_history, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &WMailRenderer::slotCobmboBoxIndexChanged);
    connect(m_searchButton, &QPushButton::clicked, this, &WMailRenderer::slotSearch);
    connect(m_searchLine, &QLineEdit::returnPressed, this, &WMailRenderer::slotSearch);
    connect(m_view, &WTalkRendererWebView::linkClicked, this, &WMailRenderer::slotlinkClicked);
    // The page starts with the newest messages; older ones come as the
    // reader scrolls to its top (or at once while it has nothing to scroll).
    connect(m_view->page(), &QWebPage::scrollRequested, this, &WMailRenderer::showOlderAtTop);
    connect(m_view->page(), &QWebPage::loadFinished, this, &WMailRenderer::fillUnscrollablePage);
    connect(m_textEditor, &TextPluginEditor::signalNewContentRequest, this, &WMailRenderer::slotNewContentRequest);
    connect(this, &WMailRenderer::signalEvaluateJavascipt, m_view, &WTalkRendererWebView::slotEvaluateJavascript);
    connect(m_filesEditor, &FilesEditor::signalNewContentRequest, this, &WMailRenderer::slotNewContentRequest);
    // Files dropped on the editor or on the conversation page go out alike.
    connect(m_textEditor, &TextPluginEditor::signalFilesDropped, this, &WMailRenderer::sendDroppedFiles);
    connect(m_view, &WTalkRendererWebView::signalSendFiles, this, &WMailRenderer::sendDroppedFiles);
    connect(textEditorAction, &QAction::triggered, this, [this] { m_editors->setCurrentWidget(m_textEditor); });
    connect(m_albumEditor, &PhotoAlbumEditor::signalNewContentRequest, this, &WMailRenderer::slotNewContentRequest);
    connect(filesEditorAction, &QAction::triggered, this, [this] { m_editors->setCurrentWidget(m_filesEditor); });
    connect(albumEditorAction, &QAction::triggered, this, [this] { m_editors->setCurrentWidget(m_albumEditor); });
    connect(entire, &QAction::triggered, this, [this] { showFiltered(QStringLiteral("all")); });
    connect(attachments, &QAction::triggered, this, [this] { showFiltered(QStringLiteral("files")); });
    connect(albums, &QAction::triggered, this, [this] { showFiltered(QStringLiteral("photoalbum")); });
}

WMailRenderer::~WMailRenderer()
{
    // The page goes with the widgets after this part of the object: what it
    // signals then (its load stopped, its view scrolled) must not come here.
    disconnect(m_view->page(), nullptr, this, nullptr);
    m_view->setDownloadManager(nullptr);
    m_downloads.stop();
}

void WMailRenderer::sendDroppedFiles(const QStringList &paths, bool allPictures)
{
    // The editors read the files on the pool; they are the renderer's, so
    // an answer never outlives it.
    if (allPictures)
        m_albumEditor->encodePictures(
            paths, [this](const QByteArray &data) { slotNewContentRequest(data, PhotoAlbumPlugin::Name); });
    else
        m_filesEditor->encodeFiles(paths,
                                   [this](const QByteArray &data) { slotNewContentRequest(data, FilesPlugin::Name); });
}

QAction *WMailRenderer::makeAction(const QString &objectName, const QString &text, const QString &icon)
{
    auto *action = new QAction(icon.isEmpty() ? QIcon() : QIcon(icon), text, this);
    action->setObjectName(objectName);
    return action;
}

void WMailRenderer::setConversation(const WMailConversation::Pointer &conversation)
{
    m_conversation = conversation;
    m_view->rendererPage()->itemFactory()->setItemTable(conversation ? &conversation->items() : nullptr);
    if (conversation)
        refreshPage();
    else if (isVisible())
        m_view->showHtml(QString());
    else
        m_pageStale = true;
}

void WMailRenderer::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_pageStale)
        return;
    m_pageStale = false;
    if (m_conversation)
        refreshPage();
    else
        m_view->showHtml(QString());
}

void WMailRenderer::refreshPage()
{
    if (!m_conversation)
        return;
    if (!isVisible()) {
        m_pageStale = true;
        return;
    }
    showPage(QStringLiteral("all"));
    // These wait in the view until the page and its script are loaded.
    evaluateJavascript(QStringLiteral("wmailOperations.setNumberOfShownItems(%1);")
                           .arg(m_conversation->numberOfShownItems()));
    const QString last = m_conversation->getMessageIdFromEnd(-1);
    if (WMailStructure::isValidId(last))
        evaluateJavascript(QStringLiteral("wmailOperations.NavigateToContent('%1');").arg(last));
}

void WMailRenderer::showPage(const QString &filter)
{
    m_pageFilter = filter;
    m_view->showHtml(WMailConversationPage::buildConversationPage(*m_conversation, filter, &m_oldestOnPage));
}

void WMailRenderer::showFiltered(const QString &filter)
{
    if (m_conversation && isVisible())
        showPage(filter);
}

void WMailRenderer::addOlderToPage(const QString &chunks)
{
    if (!chunks.isEmpty())
        evaluateJavascript(QStringLiteral("wmailOperations.addOlderMessages('") + escapeForScript(chunks)
                           + QStringLiteral("');"));
}

bool WMailRenderer::showOlderPage()
{
    if (!m_conversation || !m_view->isLoaded()
        || !WMailConversationPage::hasOlderMessages(*m_conversation, m_oldestOnPage))
        return false;
    addOlderToPage(WMailConversationPage::buildOlderChunks(*m_conversation, m_pageFilter, &m_oldestOnPage));
    return true;
}

void WMailRenderer::showOlderAtTop()
{
    if (m_view->page()->mainFrame()->scrollPosition().y() == 0)
        showOlderPage();
}

void WMailRenderer::fillUnscrollablePage()
{
    // Checked again once the added page is laid out.
    if (m_view->page()->mainFrame()->scrollBarMaximum(Qt::Vertical) == 0 && showOlderPage())
        QMetaObject::invokeMethod(this, &WMailRenderer::fillUnscrollablePage, Qt::QueuedConnection);
}

void WMailRenderer::evaluateJavascript(const QString &script)
{
    emit signalEvaluateJavascipt(script);
}

void WMailRenderer::slotCobmboBoxIndexChanged(int pos)
{
    if (!m_conversation || pos < 0)
        return;
    const int days = m_history->itemData(pos).toInt();
    if (days == kCurrent)
        m_conversation->setNumberOfShownItems(WMailConversation::DefaultShownItems);
    else if (days == kEntire)
        m_conversation->setNumberOfShownItems(-1);
    else
        m_conversation->showItemsSince(QDate::currentDate().addDays(days));
    refreshPage();
}

void WMailRenderer::slotNewContentRequest(const QByteArray &data, const QString &pluginName)
{
    if (m_conversation && !data.isEmpty())
        emit newContentRequested(m_conversation, data, pluginName);
}

void WMailRenderer::addMessageToPage(const QString &id)
{
    if (!m_conversation || !WMailStructure::isValidId(id))
        return;
    if (m_pageStale || !isVisible()) {
        m_pageStale = true; // the page shows it when it is built
        emit messageAdded(id);
        return;
    }
    const QString chunk = WMailConversationPage::buildMessageChunkById(*m_conversation, id);
    if (chunk.isEmpty())
        return;
    evaluateJavascript(QStringLiteral("wmailOperations.addNewMessage('','") + id + QStringLiteral("','")
                       + escapeForScript(chunk) + QStringLiteral("');"));
    emit messageAdded(id);
}

QString WMailRenderer::escapeForScript(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("&cudz"));
    escaped.replace(QLatin1Char('\''), QLatin1String("&app"));
    escaped.remove(QLatin1Char('\r'));
    escaped.remove(QLatin1Char('\n'));
    escaped.replace(QChar(0x2028), QLatin1String("\\u2028"));
    escaped.replace(QChar(0x2029), QLatin1String("\\u2029"));
    return escaped;
}

void WMailRenderer::slotSearch()
{
    const QString text = m_searchLine->text();
    if (m_view->page()->findText(text) || !m_conversation)
        return;
    // Not on the page: it may be in a message older than the page holds.
    const int found = WMailConversationPage::findOlderMessage(*m_conversation, m_pageFilter, m_oldestOnPage, text);
    if (found < 0)
        return;
    QString chunks;
    while (m_oldestOnPage > found)
        chunks.prepend(WMailConversationPage::buildOlderChunks(*m_conversation, m_pageFilter, &m_oldestOnPage));
    addOlderToPage(chunks);
    m_view->page()->findText(text);
}

void WMailRenderer::slotlinkClicked(const QUrl &url)
{
    if (ExternalLinks::isAllowed(url, ExternalLinks::messagingSchemes()))
        m_openLink(url);
    else
        qWarning() << "wmail: a link of scheme" << url.scheme() << "is not opened";
}
