#include "WMailRenderer.h"

WMailRenderer::WMailRenderer(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("WMailRenderer"));
}

void WMailRenderer::setConversation(const WMailConversation::Pointer &conversation)
{
    m_conversation = conversation;
}

void WMailRenderer::addMessageToPage(const QString &id)
{
    emit messageAdded(id);
}
