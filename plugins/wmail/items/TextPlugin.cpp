#include "TextPlugin.h"

#include "TextPluginEditor.h"
#include "WMailStructure.h"
#include "WMailTextFormatter.h"

const QString TextPlugin::Name = QStringLiteral("text");

TextPlugin::TextPlugin(const QString &id, const QByteArray &data) : m_id(id), m_data(data)
{
}

void TextPlugin::generateId()
{
    m_id = WMailStructure::newId();
}

bool TextPlugin::setData(const QByteArray &data)
{
    m_data = data;
    return true;
}

QString TextPlugin::getHtml()
{
    return WMailTextFormatter::toHtml(m_data);
}

QWidget *TextPlugin::getEditorWidget()
{
    return new TextPluginEditor;
}

QImage TextPlugin::getPluginIcon()
{
    return QImage(QStringLiteral(":/icons/Resources/edit.png"));
}

void TextPlugin::setConversation(const QSharedPointer<IWMailConversation> &conversation)
{
    m_conversation = conversation;
}
