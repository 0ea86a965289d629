#include "WTalkRendererWebView.h"

#include "WTalkRendererAccessManager.h"
#include "WTalkRendererWebPage.h"

#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QThread>
#include <QWebFrame>
#include <QWebSettings>

WTalkRendererWebView::WTalkRendererWebView(QWidget *parent) : QWebView(parent), m_page(new WTalkRendererWebPage(this))
{
    m_page->settings()->setAttribute(QWebSettings::PluginsEnabled, true);
    m_page->settings()->setAttribute(QWebSettings::DeveloperExtrasEnabled, true);
    setPage(m_page);
    QPalette translucent = palette();
    translucent.setBrush(QPalette::Base, QColor(255, 255, 255, 100));
    m_page->setPalette(translucent);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setAutoFillBackground(true); // what shows through the page is the window's colour
    connect(m_page, &QWebPage::loadStarted, this, [this] { m_awaitingStart = false; });
    connect(m_page, &QWebPage::loadFinished, this, &WTalkRendererWebView::onLoadFinished);
}

WTalkRendererWebView::~WTalkRendererWebView()
{
    // The page stops its load when it goes, after this part of the view.
    disconnect(m_page, nullptr, this, nullptr);
}

void WTalkRendererWebView::setDownloadManager(WTalkWebDownloadManager *downloads)
{
    m_page->accessManager()->setDownloadManager(downloads);
}

void WTalkRendererWebView::showHtml(const QString &html)
{
    // Scripts meant for the page being replaced would act on the new one.
    m_waitingScripts.clear();
    m_loaded = false;
    // A load still running ends when this one starts: its end is not ours.
    m_awaitingStart = true;
    m_page->mainFrame()->setHtml(html, QUrl());
}

void WTalkRendererWebView::onLoadFinished()
{
    if (m_awaitingStart)
        return;
    m_loaded = true;
    runWaitingScripts();
}

void WTalkRendererWebView::slotEvaluateJavascript(const QString &script)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_waitingScripts.append(script);
    runWaitingScripts();
}

void WTalkRendererWebView::runWaitingScripts()
{
    // While loading, and while an evaluation runs a nested event loop, a
    // script waits its turn instead of running out of order.
    if (m_evaluating)
        return;
    m_evaluating = true;
    while (m_loaded && !m_waitingScripts.isEmpty())
        m_page->mainFrame()->evaluateJavaScript(m_waitingScripts.takeFirst());
    m_evaluating = false;
}

QStringList WTalkRendererWebView::droppedFiles(const QList<QUrl> &urls, bool *allPictures)
{
    static const QStringList pictures{QStringLiteral("jpg"), QStringLiteral("png"), QStringLiteral("tif"),
                                      QStringLiteral("gif")};
    QStringList paths;
    *allPictures = true;
    for (const QUrl &url : urls) {
        const QString path = url.toLocalFile();
        if (path.isEmpty() || !QFileInfo::exists(path))
            continue;
        paths.append(path);
        const int dot = path.lastIndexOf(QLatin1Char('.'));
        if (!pictures.contains((dot < 0 ? path : path.mid(dot + 1)).toLower()))
            *allPictures = false;
    }
    return paths;
}

void WTalkRendererWebView::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool shift = m_shiftHeld || event->modifiers().testFlag(Qt::ShiftModifier);
    if (enter && !shift) {
        emit signalEnterPressed();
        if (m_editorMode)
            return;
    }
    if (event->key() == Qt::Key_Shift)
        m_shiftHeld = true;
    else if (event->key() == Qt::Key_Control)
        m_controlHeld = true;
    if (event->key() == Qt::Key_C && (m_controlHeld || event->modifiers().testFlag(Qt::ControlModifier)))
        m_page->triggerAction(QWebPage::Copy);
    QWebView::keyPressEvent(event);
}

void WTalkRendererWebView::keyReleaseEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Shift)
        m_shiftHeld = false;
    else if (event->key() == Qt::Key_Control)
        m_controlHeld = false;
    QWebView::keyReleaseEvent(event);
}

void WTalkRendererWebView::dropEvent(QDropEvent *event)
{
    if (!event->mimeData()->hasUrls())
        return;
    bool allPictures = true;
    const QStringList paths = droppedFiles(event->mimeData()->urls(), &allPictures);
    if (paths.isEmpty()) {
        event->ignore(); // nothing here to send
        return;
    }
    event->acceptProposedAction();
    emit signalSendFiles(paths, allPictures);
}

void WTalkRendererWebView::mouseReleaseEvent(QMouseEvent *event)
{
    emit signalMouseReleased();
    QWebView::mouseReleaseEvent(event);
}
