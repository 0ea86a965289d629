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
    // (the base emits linkClicked and refuses); any other navigation (script,
    // meta refresh, form, frame) is refused outright.
    if (type == NavigationTypeLinkClicked)
        return QWebPage::acceptNavigationRequest(frame, request, type);
    return false;
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
