#pragma once

#include "IWMailConversation.h"
#include "IWMailPlugin.h"
#include "WMailJournal.h"
#include "WMailStructure.h"

#include <KvrConfig.h>

#include <QDate>
#include <QDateTime>
#include <QEnableSharedFromThis>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

// One conversation: its header, its message tree and the stored forms of its
// message items, kept in "<folder>/<name>.wml" (the snapshot: header, tree
// and item offsets, rewritten whole and atomically), "<folder>/<name>.wmj"
// (the journal: each message and item offset filed since the snapshot, one
// appended record each) and "<folder>/<name>.wpl" (the item heap,
// append-only). Filing a message costs the same at any length of history;
// the snapshot is rewritten (and the journal emptied) at the first change
// after a load that found the journal grown past it, so that the bytes
// written stay a small multiple of the conversation's size.
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

    QString folder() const { return m_folder; }
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
    // The journal read at load outgrew the snapshot: the next change (or
    // saveConversation) folds it in.
    bool isFoldDue() const { return m_foldDue; }
    // The file read last had damage; a copy of it is kept before the next save.
    bool isDamaged() const { return m_damaged; }
    QString conversationPath() const;
    QString heapPath() const;
    QString journalPath() const;

    // A new conversation: both stamps and the root's times now, a fresh root
    // id, the owner first among participants and the root's recipients.
    void initialise(const QString &title, const QString &owner, const QStringList &others);

    QByteArray serializeHeader() const;
    // False on damage; the fields then hold what was read before it.
    bool deserializeHeader(const QByteArray &bytes);
    // Reads the header block and the ids the journal adds. False when the
    // file cannot be read.
    bool loadHeader();
    // The first call reads the snapshot and replays the journal (later calls
    // read nothing); it writes nothing. A journal grown past the snapshot is
    // folded into it at the next change. False when a file cannot be read;
    // a damaged snapshot still loads what is sound, a journal what comes
    // before a torn record.
    bool load();
    // Writes the whole snapshot atomically (creating the folder), then
    // empties the journal; on failure the old files stay. A conversation
    // known only by its header is loaded first so the save cannot drop the
    // stored messages.
    bool saveConversation();
    // Takes what another object of the same files read with load() (on
    // another thread, say) as if this one had read it. Meant for an object
    // not loaded yet; its shown items and item objects stay.
    void takeLoadedState(const WMailConversation &loaded);

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
    // True when id names the root or any message of the tree (or one the
    // header lists), without a walk of the tree.
    bool containsMessage(const QString &id) const;
    // The root or the message of the tree with that id; null when none.
    // Messages filed other than through load and addMessage are not found.
    WMailStructure::Pointer findMessage(const QString &id) const;

private:
    // Appends data to the heap and notes its offset under key; the offset,
    // or -1 when nothing was stored.
    qint64 putItemRecord(const QString &key, const QByteArray &data);
    // Stores an item record under key and records its offset.
    bool storeItem(const QString &key, const QByteArray &data);
    QByteArray itemRecord(const QString &key) const;
    void keepDamagedCopy();
    // Makes a change durable: a journal record when there is a snapshot to
    // add to, else the whole snapshot.
    bool recordChange(const QByteArray &journalRecord);
    bool writeSnapshot();
    // Applies one journal record; a message already held is not filed twice
    // (a snapshot written before the journal could be emptied holds it).
    void replay(const QByteArray &record);
    void indexTree(const WMailStructure &node);
    bool journalOutgrewSnapshot() const;

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
    WMailJournal m_journal;
    // Every message of the loaded tree by id, and the ids the header lists
    // that the tree lacks (null): look-ups that cost the same at any length.
    QHash<QString, WMailStructure::Pointer> m_index;
    qint64 m_snapshotSize = -1; // -1: no snapshot written or read yet
    bool m_foldDue = false;     // the journal read at load outgrew the snapshot
};
