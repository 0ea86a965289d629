#pragma once

#include "IWMailConversation.h"
#include "IWMailPlugin.h"

#include <QObject>
#include <QWeakPointer>

// The photo-album item: pictures carried in a message. Only the preview
// (thumbnails) is kept in memory; the full pictures are read back from the
// store when they are viewed.
class PhotoAlbumPlugin : public QObject, public IWMailPlugin
{
    Q_OBJECT

public:
    static const QString Name;

    explicit PhotoAlbumPlugin(const QString &id = QString());

    void generateId() override;
    QString getId() override { return m_id; }
    void setId(const QString &id) override { m_id = id; }
    bool setData(const QByteArray &data) override;
    QByteArray getData() override;
    QString getHtml() override;
    QWidget *getEditorWidget() override { return nullptr; }
    QString getPluginName() override { return Name; }
    QImage getPluginIcon() override;
    bool takeData(const QByteArray &) override { return true; }
    void setConversation(const QSharedPointer<IWMailConversation> &conversation) override;
    QWidget *getRendererWidget() override;
    QByteArray getPreviewData() override;
    bool getFlag() override { return false; }
    void setPreviewData(const QByteArray &preview) override { m_preview = preview; }

private:
    QString m_id;
    // Not owning: the conversation owns its items.
    QWeakPointer<IWMailConversation> m_conversation;
    QByteArray m_data;
    QByteArray m_preview;
};
