#pragma once

#include <QStringList>
#include <QWebView>

class WTalkRendererWebPage;
class WTalkWebDownloadManager;

// The web view of the messaging plug-in (conversation page and text editor):
// its own page, Enter as "send", Ctrl+C as copy, dropped local files handed
// on, a translucent background, and scripts run only once the page loaded.
class WTalkRendererWebView : public QWebView
{
    Q_OBJECT

public:
    explicit WTalkRendererWebView(QWidget *parent = nullptr);
    ~WTalkRendererWebView() override;

    WTalkRendererWebPage *rendererPage() const { return m_page; }
    void setDownloadManager(WTalkWebDownloadManager *downloads);
    // In editor mode Enter (without Shift) only sends: the page never gets it.
    void setEditorMode(bool on) { m_editorMode = on; }
    bool isEditorMode() const { return m_editorMode; }
    // Shows html with an empty base URL; scripts given later wait for it.
    void showHtml(const QString &html);
    bool isLoaded() const { return m_loaded; }

    // The local files of a drop, in order, and whether all are pictures.
    static QStringList droppedFiles(const QList<QUrl> &urls, bool *allPictures);

signals:
    void signalEnterPressed();
    void signalSendFiles(const QStringList &paths, bool allPictures);
    void signalMouseReleased();

public slots:
    // Runs script in the page on the GUI thread; while the page is loading
    // it waits, in order, until the page's own scripts are there.
    void slotEvaluateJavascript(const QString &script);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void onLoadFinished();
    void runWaitingScripts();

    WTalkRendererWebPage *m_page;
    bool m_shiftHeld = false;
    bool m_controlHeld = false;
    bool m_editorMode = false;
    bool m_loaded = true;
    bool m_awaitingStart = false;
    bool m_evaluating = false;
    QStringList m_waitingScripts;
};
