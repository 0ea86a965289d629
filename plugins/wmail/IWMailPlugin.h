#pragma once

#include <QByteArray>
#include <QImage>
#include <QSharedPointer>
#include <QString>

class IWMailConversation;
class QWidget;

// A message item: the content of one message, made by an item kind ("text",
// "files", "photoalbum"). The conversation makes items from stored data,
// the page asks them for HTML, the view for editors and embedded renderers.
class IWMailPlugin
{
public:
    virtual ~IWMailPlugin() = default;

    virtual void generateId() = 0;
    virtual QString getId() = 0;
    virtual void setId(const QString &id) = 0;
    virtual bool setData(const QByteArray &data) = 0;
    virtual QByteArray getData() = 0;
    // The item as page HTML: safe to show, whatever a peer sent.
    virtual QString getHtml() = 0;
    // A new editor without parent, owned by the caller; null for none.
    virtual QWidget *getEditorWidget() = 0;
    virtual QString getPluginName() = 0;
    virtual QImage getPluginIcon() = 0;
    virtual bool takeData(const QByteArray &data) = 0;
    virtual void setConversation(const QSharedPointer<IWMailConversation> &conversation) = 0;
    // A new widget embedded in the page; null for none.
    virtual QWidget *getRendererWidget() = 0;
    virtual QByteArray getPreviewData() = 0;
    virtual bool getFlag() = 0;
    virtual void setPreviewData(const QByteArray &preview) = 0;
};
