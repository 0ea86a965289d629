#pragma once

#include "IWMailPlugin.h"

#include <QHash>
#include <QSharedPointer>
#include <QString>
#include <QWebPluginFactory>

// Puts a live widget of a message item where the page holds an object of
// type "wivora/glimpserenderer": the item named by its "glimpseid".
class WTalkRendererPluginFactory : public QWebPluginFactory
{
    Q_OBJECT

public:
    using ItemTable = QHash<QString, QSharedPointer<IWMailPlugin>>;

    explicit WTalkRendererPluginFactory(QObject *parent = nullptr);

    // The page's object element for the item's widget; empty for an id not
    // of the braced form (only those reach the page).
    static QString objectHtml(const QString &itemId);

    // Not owned; none (no widget for anything) until the view shows a conversation.
    void setItemTable(const ItemTable *items) { m_items = items; }

    QList<Plugin> plugins() const override;
    QObject *create(const QString &mimeType, const QUrl &url, const QStringList &argumentNames,
                    const QStringList &argumentValues) const override;

private:
    const ItemTable *m_items = nullptr;
};
