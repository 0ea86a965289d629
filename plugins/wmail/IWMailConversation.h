#pragma once

#include <QByteArray>
#include <QString>

// What a message item sees of its conversation: the store of its data.
class IWMailConversation
{
public:
    virtual ~IWMailConversation() = default;

    virtual void takeData(const QByteArray &data) = 0;
    // Appends to the heap and points the id at the new record; false (and
    // the old record kept) when the heap could not be written.
    virtual bool storeItemData(const QString &id, const QByteArray &data) = 0;
    virtual bool storeItemPreview(const QString &id, const QByteArray &preview) = 0;
    // Empty when nothing sound is recorded under the id.
    virtual QByteArray loadItemData(const QString &id) = 0;
    virtual QByteArray loadItemPreview(const QString &id) = 0;
    virtual void removeItemPlugin(const QString &id) = 0;
};
