#pragma once

#include "IWMailConversation.h"
#include "IWMailPlugin.h"
#include "WMailStructure.h"

#include <KvrConfig.h>

#include <QDate>
#include <QDateTime>
#include <QEnableSharedFromThis>
#include <QHash>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

// One conversation: its header, its message tree and the stored forms of its
// message items, kept in "<folder>/<name>.wml" (header, tree and item
// offsets, rewritten whole and atomically at every save) and
// "<folder>/<name>.wpl" (the item heap, append-only).
//
// Used on one thread (the GUI thread) only.
class WMailConversation : public QObject,
                          public IWMailConversation,
                          public QEnableSharedFromThis<WMailConversation>
{
    Q_OBJECT

public:
    using Pointer = QSharedPointer<WMailConversation>;
    // The message items made so far, by item id (the id of their message).
    using ItemCache = QHash<QString, QSharedPointer<IWMailPlugin>>;

    static constexpr int DefaultShownItems = 15;

    // name must be valid (WMailManager::isValidName): it becomes file names.
    WMailConversation(const QString &folder, const QString &name);

    QString name() const { return m_name; }
    QString title() const { return m_title; }
    QString owner() const { return m_owner; }
    QStringList participants() const { return m_participants; }
    QStringList messageIds() const { return m_messageIds; }
    QDateTime creationTime() const { return m_creationTime; }
    QDateTime secondTimeStamp() const { return m_secondTimeStamp; }
    KvrConfig conversationRecord() const { return m_conversationRecord; }
    void setConversationRecord(const KvrConfig &record) { m_conversationRecord = record; }
    KvrConfig itemOffsets() const { return m_itemOffsets; }
    WMailStructure::Pointer root() const { return m_root; }
    WMailStructure::Pointer viewRoot() const { return m_viewRoot; }
    bool isLoaded() const { return m_loaded; }
    // The file read last had damage; a copy of it is kept before the next save.
    bool isDamaged() const { return m_damaged; }
    QString conversationPath() const;
    QString heapPath() const;

    // A new conversation: both stamps and the root's times now, a fresh root
    // id, the owner first among participants and the root's recipients.
    void initialise(const QString &title, const QString &owner, const QStringList &others);

    QByteArray serializeHeader() const;
    // False on damage; the fields then hold what was read before it.
    bool deserializeHeader(const QByteArray &bytes);
    // Reads the header block only. False when the file cannot be read.
    bool loadHeader();
    // The first call reads the whole file (later calls read nothing). False
    // when the file cannot be read; a damaged file still loads what is sound.
    bool load();
    // Writes the .wml atomically (creating the folder); on failure the old
    // file stays. A conversation known only by its header is loaded first so
    // the save cannot drop the stored messages.
    bool saveConversation();

    // Appends a heap record; its offset, or -1 when it could not be written.
    qint64 appendItemRecord(const QByteArray &data);
    // The heap record at offset; empty when there is none there.
    QByteArray readItemRecord(qint64 offset) const;

    // IWMailConversation
    void takeData(const QByteArray &) override {}
    bool storeItemData(const QString &id, const QByteArray &data) override;
    bool storeItemPreview(const QString &id, const QByteArray &preview) override;
    QByteArray loadItemData(const QString &id) override;
    QByteArray loadItemPreview(const QString &id) override;
    // Drops the item object made for id; its stored data stays.
    void removeItemPlugin(const QString &id) override { m_items.remove(id); }

    ItemCache &items() { return m_items; }

    int numberOfShownItems() const { return m_shownItems; }
    void setNumberOfShownItems(int count) { m_shownItems = count; }
    // Shows the top-level messages written on or after date (local calendar).
    void showItemsSince(const QDate &date);
    QString getMessageIdFromEnd(int index) const;

    // A message of the view root's recipients, not yet in the tree; null
    // when there is no view root.
    WMailStructure::Pointer newMessage(const QString &itemType, const QString &sender,
                                       const QDateTime &serverTime) const;
    // Files message under parent (at the end, or by server time when sorted),
    // stores its item data by kind and saves once. False when either could
    // not be written: the conversation is then left as it was.
    bool addMessage(const WMailStructure::Pointer &parent, const WMailStructure::Pointer &message,
                    const QByteArray &itemData, bool sorted);
    // True when id names the root or any message of the tree.
    bool containsMessage(const QString &id) const;

private:
    bool putItemRecord(const QString &key, const QByteArray &data);
    QByteArray itemRecord(const QString &key) const;
    void keepDamagedCopy();

    const QString m_folder;
    const QString m_name;
    QString m_title;
    QDateTime m_creationTime;
    QDateTime m_secondTimeStamp;
    QStringList m_participants;
    QString m_owner;
    bool m_firstFlag = false;
    bool m_secondFlag = false;
    bool m_loaded = false;
    bool m_damaged = false;
    QStringList m_messageIds;
    KvrConfig m_conversationRecord;
    WMailStructure::Pointer m_root;
    KvrConfig m_itemOffsets;
    int m_shownItems = DefaultShownItems;
    WMailStructure::Pointer m_viewRoot;
    ItemCache m_items;
};
