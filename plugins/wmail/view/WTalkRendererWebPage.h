#pragma once

#include <QWebPage>

class WTalkRendererAccessManager;
class WTalkRendererPluginFactory;

// The page of the messaging plug-in's web views: its own network (private
// schemes only) and plug-in factory. It stays on the page it was given:
// navigations of the main frame are refused (links go to the view's owner),
// and script dialogs show nothing.
class WTalkRendererWebPage : public QWebPage
{
    Q_OBJECT

public:
    explicit WTalkRendererWebPage(QObject *parent = nullptr);

    WTalkRendererAccessManager *accessManager() const { return m_accessManager; }
    WTalkRendererPluginFactory *itemFactory() const { return m_pluginFactory; }

protected:
    bool acceptNavigationRequest(QWebFrame *frame, const QNetworkRequest &request, NavigationType type) override;
    void javaScriptAlert(QWebFrame *frame, const QString &message) override;
    bool javaScriptConfirm(QWebFrame *frame, const QString &message) override;
    bool javaScriptPrompt(QWebFrame *frame, const QString &message, const QString &defaultValue,
                          QString *result) override;
    QWebPage *createWindow(WebWindowType type) override;

private:
    WTalkRendererAccessManager *m_accessManager;
    WTalkRendererPluginFactory *m_pluginFactory;
};
