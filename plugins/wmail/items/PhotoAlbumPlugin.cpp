#include "PhotoAlbumPlugin.h"

#include "PhotoAlbumRenderer.h"
#include "WMailPhotoAlbum.h"
#include "WMailStructure.h"
#include "WTalkRendererPluginFactory.h"

const QString PhotoAlbumPlugin::Name = QStringLiteral("photoalbum");

PhotoAlbumPlugin::PhotoAlbumPlugin(const QString &id) : m_id(id)
{
}

void PhotoAlbumPlugin::generateId()
{
    m_id = WMailStructure::newId();
}

bool PhotoAlbumPlugin::setData(const QByteArray &data)
{
    m_data = data;
    return true;
}

QByteArray PhotoAlbumPlugin::getData()
{
    const QSharedPointer<IWMailConversation> conversation = m_conversation.toStrongRef();
    return conversation ? conversation->loadItemData(m_id) : QByteArray();
}

QString PhotoAlbumPlugin::getHtml()
{
    return WTalkRendererPluginFactory::objectHtml(m_id);
}

QImage PhotoAlbumPlugin::getPluginIcon()
{
    return QImage(QStringLiteral(":/photoalbum/Resources/photo.png"));
}

void PhotoAlbumPlugin::setConversation(const QSharedPointer<IWMailConversation> &conversation)
{
    m_conversation = conversation;
}

QWidget *PhotoAlbumPlugin::getRendererWidget()
{
    auto *renderer = new PhotoAlbumRenderer;
    renderer->setItem(m_conversation, m_id);
    renderer->loadPreview(m_preview);
    return renderer;
}

QByteArray PhotoAlbumPlugin::getPreviewData()
{
    if (m_data.isEmpty())
        m_data = getData();
    if (m_data.isEmpty())
        return QByteArray();
    m_preview = WMailPhotoAlbum::preview(m_data);
    m_data.clear();
    return m_preview;
}
