#pragma once

#include "WMailConversation.h"
#include "WTalkWebDownloadManager.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>

class QAction;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QToolBar;
class FilesEditor;
class PhotoAlbumEditor;
class TextPluginEditor;
class WTalkRendererWebView;

// The "chat" page: one conversation as an HTML page of message bubbles, a
// history range and a search above it, the text editor below it.
class WMailRenderer : public QWidget
{
    Q_OBJECT

public:
    // Hands a URL to the desktop; true when that worked.
    using LinkOpener = std::function<bool(const QUrl &url)>;

    explicit WMailRenderer(QWidget *parent = nullptr);
    ~WMailRenderer() override;

    WMailConversation::Pointer conversation() const { return m_conversation; }
    // Null clears the page (at logout).
    void setConversation(const WMailConversation::Pointer &conversation);
    // Adds the chunk of a message of the shown conversation to the page.
    void addMessageToPage(const QString &id);
    void refreshPage();

    WTalkRendererWebView *webView() const { return m_view; }
    TextPluginEditor *textEditor() const { return m_textEditor; }
    FilesEditor *filesEditor() const { return m_filesEditor; }
    PhotoAlbumEditor *albumEditor() const { return m_albumEditor; }
    QComboBox *historyBox() const { return m_history; }
    QLineEdit *searchLine() const { return m_searchLine; }
    void setLinkOpener(const LinkOpener &opener) { m_openLink = opener; }

    // Chunk text as a single-quoted script string's content: quotes as the
    // page script's "&cudz" and "&app", no line terminators, backslashes kept.
    static QString escapeForScript(const QString &text);

signals:
    void signalEvaluateJavascipt(const QString &script);
    // An editor made content for a new message of the shown conversation.
    void newContentRequested(const WMailConversation::Pointer &conversation, const QByteArray &data,
                             const QString &pluginName);
    void messageAdded(const QString &id);

public slots:
    void slotCobmboBoxIndexChanged(int pos);
    void slotNewContentRequest(const QByteArray &data, const QString &pluginName);
    void slotSearch();
    void slotlinkClicked(const QUrl &url);
    void evaluateJavascript(const QString &script);

protected:
    void showEvent(QShowEvent *event) override;

private:
    // Dropped pictures become a photo album, other files a files item.
    void sendDroppedFiles(const QStringList &paths, bool allPictures);
    // Builds the page of the newest messages that pass filter.
    void showPage(const QString &filter);
    void showFiltered(const QString &filter);
    // Adds the next older page of messages; false when there is none.
    bool showOlderPage();
    // Adds the next older page while the reader is at the page's top.
    void showOlderAtTop();
    // Adds older pages while the page is too short to scroll.
    void fillUnscrollablePage();
    // Puts chunks of older messages before the oldest on the page.
    void addOlderToPage(const QString &chunks);
    QAction *makeAction(const QString &objectName, const QString &text, const QString &icon);

    WMailConversation::Pointer m_conversation;
    QToolBar *m_toolBar;
    QSplitter *m_splitter;
    WTalkRendererWebView *m_view;
    WTalkWebDownloadManager m_downloads;
    QStackedWidget *m_editors;
    TextPluginEditor *m_textEditor;
    FilesEditor *m_filesEditor;
    PhotoAlbumEditor *m_albumEditor;
    QComboBox *m_history;
    QLineEdit *m_searchLine;
    QPushButton *m_searchButton;
    LinkOpener m_openLink;
    // The page is built only while the chat page is on screen: a hidden
    // page (and a client without a screen) never lays one out.
    bool m_pageStale = false;
    // What the page shows: its filter, and the index of the view root's
    // children from which on the page holds every message that passes it.
    QString m_pageFilter;
    int m_oldestOnPage = 0;
};
