#pragma once

#include "IWMailConversation.h"
#include "IWMailPlugin.h"

#include <QObject>
#include <QWeakPointer>

// The text item: HTML as the text editor writes it, kept as its own preview.
class TextPlugin : public QObject, public IWMailPlugin
{
    Q_OBJECT

public:
    static const QString Name;

    explicit TextPlugin(const QString &id = QString(), const QByteArray &data = QByteArray());

    void generateId() override;
    QString getId() override { return m_id; }
    void setId(const QString &id) override { m_id = id; }
    bool setData(const QByteArray &data) override;
    QByteArray getData() override { return m_data; }
    QString getHtml() override;
    QWidget *getEditorWidget() override;
    QString getPluginName() override { return Name; }
    QImage getPluginIcon() override;
    bool takeData(const QByteArray &) override { return true; }
    void setConversation(const QSharedPointer<IWMailConversation> &conversation) override;
    QWidget *getRendererWidget() override { return nullptr; }
    QByteArray getPreviewData() override { return m_data; }
    bool getFlag() override { return false; }
    void setPreviewData(const QByteArray &preview) override { m_data = preview; }

private:
    QString m_id;
    // Not owning: the conversation owns its items.
    QWeakPointer<IWMailConversation> m_conversation;
    QByteArray m_data;
};
