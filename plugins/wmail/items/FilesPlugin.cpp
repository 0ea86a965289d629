#include "FilesPlugin.h"

#include "FilesRenderer.h"
#include "WMailFiles.h"
#include "WMailStructure.h"
#include "WTalkRendererPluginFactory.h"

const QString FilesPlugin::Name = QStringLiteral("files");

FilesPlugin::FilesPlugin(const QString &id) : m_id(id)
{
}

void FilesPlugin::generateId()
{
    m_id = WMailStructure::newId();
}

bool FilesPlugin::setData(const QByteArray &data)
{
    m_data = data;
    return true;
}

QByteArray FilesPlugin::getData()
{
    const QSharedPointer<IWMailConversation> conversation = m_conversation.toStrongRef();
    return conversation ? conversation->loadItemData(m_id) : QByteArray();
}

QString FilesPlugin::getHtml()
{
    return WTalkRendererPluginFactory::objectHtml(m_id);
}

QImage FilesPlugin::getPluginIcon()
{
    return QImage(QStringLiteral(":/fileseditor/Resources/attachment.png"));
}

void FilesPlugin::setConversation(const QSharedPointer<IWMailConversation> &conversation)
{
    m_conversation = conversation;
}

QWidget *FilesPlugin::getRendererWidget()
{
    return new FilesRenderer(m_conversation, m_id, m_preview);
}

QByteArray FilesPlugin::getPreviewData()
{
    if (m_data.isEmpty())
        m_data = getData();
    if (m_data.isEmpty())
        return QByteArray();
    m_preview = WMailFiles::preview(m_data);
    m_data.clear();
    return m_preview;
}
