#include "WTalkRendererWebPage.h"

#include "WTalkRendererAccessManager.h"
#include "WTalkRendererPluginFactory.h"

#include <QNetworkRequest>
#include <QWebFrame>

WTalkRendererWebPage::WTalkRendererWebPage(QObject *parent)
    : QWebPage(parent), m_accessManager(new WTalkRendererAccessManager(this)),
      m_pluginFactory(new WTalkRendererPluginFactory(this))
{
    setNetworkAccessManager(m_accessManager);
    setPluginFactory(m_pluginFactory);
}

bool WTalkRendererWebPage::acceptNavigationRequest(QWebFrame *frame, const QNetworkRequest &request,
                                                   NavigationType type)
{
    // A clicked link is handed to the view's owner by the delegation policy
    // (the base emits linkClicked and refuses). Moving to an anchor of the
    // page stays; any other navigation (script, meta refresh, form, frame)
    // is refused.
    if (type == NavigationTypeLinkClicked)
        return QWebPage::acceptNavigationRequest(frame, request, type);
    const QUrl target = request.url();
    return frame && target.hasFragment()
        && target.adjusted(QUrl::RemoveFragment) == frame->url().adjusted(QUrl::RemoveFragment);
}

void WTalkRendererWebPage::javaScriptAlert(QWebFrame *, const QString &)
{
}

bool WTalkRendererWebPage::javaScriptConfirm(QWebFrame *, const QString &)
{
    return false;
}

bool WTalkRendererWebPage::javaScriptPrompt(QWebFrame *, const QString &, const QString &, QString *)
{
    return false;
}

QWebPage *WTalkRendererWebPage::createWindow(WebWindowType)
{
    return nullptr;
}
