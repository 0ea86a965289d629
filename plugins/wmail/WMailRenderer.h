#pragma once

#include "WMailConversation.h"

#include <QString>
#include <QWidget>

// The "chat" page: the conversation shown to the user. It tells which
// conversation it shows and takes each message filed into it while shown.
class WMailRenderer : public QWidget
{
    Q_OBJECT

public:
    explicit WMailRenderer(QWidget *parent = nullptr);

    WMailConversation::Pointer conversation() const { return m_conversation; }
    // Null clears the page (at logout).
    void setConversation(const WMailConversation::Pointer &conversation);
    void addMessageToPage(const QString &id);

signals:
    void messageAdded(const QString &id);

private:
    WMailConversation::Pointer m_conversation;
};
