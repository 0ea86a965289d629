#include "WMailConversation.h"

#include "WMailLocalClock.h"
#include "WMailStreams.h"

#include <WUtilities.h>

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QtDebug>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kPreviewSuffix = QStringLiteral("-preview");
const QString kTextType = QStringLiteral("text");

// The blocks of a .wml file, each a 4-byte length and its bytes; parsing
// stops at the first length the file cannot hold.
class BlockReader
{
public:
    explicit BlockReader(const QByteArray &bytes) : m_bytes(bytes) {}

    bool next(QByteArray *block)
    {
        if (m_bytes.size() - m_at < 4)
            return false;
        const int length = WUtilities::parseInt(m_bytes.mid(m_at, 4));
        m_at += 4;
        if (length < 0 || length > m_bytes.size() - m_at)
            return false;
        *block = QByteArray::fromRawData(m_bytes.constData() + m_at, length);
        m_at += length;
        return true;
    }
    bool atEnd() const { return m_at == m_bytes.size(); }

private:
    const QByteArray &m_bytes;
    int m_at = 0;
};

QByteArray block(const QByteArray &bytes)
{
    return WUtilities::intToByteArray(bytes.size()) + bytes;
}

// The kinds of journal record.
enum class JournalEntry : qint8 { Message = 1, ItemOffset = 2 };

// The journal is folded into the snapshot once it is larger than the
// snapshot and this.
constexpr qint64 kJournalFoldBytes = 64 * 1024;

template <typename Write>
QByteArray journalRecord(JournalEntry kind, Write write)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(WMailStreams::Version);
    out << qint8(kind);
    write(out);
    return bytes;
}

// A filed message: where it went in its parent, its record (no children)
// and, when it has one, where its item went in the heap.
QByteArray messageRecord(const WMailStructure &parent, int index, const WMailStructure &message,
                         const QString &itemKey, qint64 itemOffset)
{
    return journalRecord(JournalEntry::Message, [&](QDataStream &out) {
        out << message.id << parent.id << qint32(index) << message.serializeStructure() << itemKey << itemOffset;
    });
}

// Makes the names in folder (a file renamed into place) durable.
void syncFolder(const QString &folder)
{
    const int descriptor = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    ::fsync(descriptor);
    ::close(descriptor);
}

} // namespace

WMailConversation::WMailConversation(const QString &folder, const QString &name)
    : m_folder(folder), m_name(name), m_root(WMailStructure::Pointer::create()), m_viewRoot(m_root),
      m_journal(journalPath())
{
}

QString WMailConversation::conversationPath() const
{
    return m_folder + QLatin1Char('/') + m_name + QStringLiteral(".wml");
}

QString WMailConversation::heapPath() const
{
    return m_folder + QLatin1Char('/') + m_name + QStringLiteral(".wpl");
}

QString WMailConversation::journalPath() const
{
    return m_folder + QLatin1Char('/') + m_name + QStringLiteral(".wmj");
}

void WMailConversation::initialise(const QString &title, const QString &owner, const QStringList &others)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_title = title;
    m_creationTime = now;
    m_secondTimeStamp = now;
    m_owner = owner;
    m_root->id = WMailStructure::newId();
    m_root->time = now;
    m_root->localTime = now;
    m_participants = QStringList{owner} + others;
    m_root->recipients = m_participants;
    m_index.clear();
    m_loaded = true; // nothing stored to read
}

QByteArray WMailConversation::serializeHeader() const
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(WMailStreams::Version);
    out << m_name << m_title << m_creationTime.toUTC() << m_secondTimeStamp.toUTC() << m_firstFlag << m_secondFlag
        << m_owner;
    WMailStreams::writeList(out, m_participants);
    WMailStreams::writeList(out, m_messageIds);
    out << m_conversationRecord.SerializeConfigBinary();
    return bytes;
}

bool WMailConversation::deserializeHeader(const QByteArray &bytes)
{
    QDataStream in(bytes);
    in.setVersion(WMailStreams::Version);
    QString storedName;
    in >> storedName >> m_title >> m_creationTime >> m_secondTimeStamp >> m_firstFlag >> m_secondFlag >> m_owner;
    if (in.status() != QDataStream::Ok)
        return false;
    // The file name is the key: a header naming another conversation is
    // damage or a copied file, and must not redirect later saves.
    if (storedName != m_name)
        qWarning() << "wmail: conversation" << m_name << "has a header named" << storedName;

    QSet<QString> known(m_participants.cbegin(), m_participants.cend());
    const bool participantsRead = WMailStreams::readEach(in, [&](QDataStream &stream) {
        QString participant;
        stream >> participant;
        if (stream.status() == QDataStream::Ok && !known.contains(participant)) {
            known.insert(participant);
            m_participants.append(participant);
        }
    });
    if (!participantsRead)
        return false;
    m_messageIds.clear();
    const bool idsRead = WMailStreams::readEach(in, [&](QDataStream &stream) {
        QString id;
        stream >> id;
        if (stream.status() == QDataStream::Ok)
            m_messageIds.append(id);
    });
    if (!idsRead)
        return false;
    QByteArray recordBytes;
    in >> recordBytes;
    KvrConfig record;
    if (in.status() != QDataStream::Ok || (!recordBytes.isEmpty() && !record.DeserializeConfigBinary(recordBytes)))
        return false;
    m_conversationRecord = record;
    return in.atEnd();
}

bool WMailConversation::loadHeader()
{
    QFile file(conversationPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const int length = WUtilities::parseInt(file.read(4));
    if (length < 0 || length > file.size() - 4 || !deserializeHeader(file.read(length))) {
        qWarning() << "wmail: damaged header in" << file.fileName();
        m_damaged = true;
    }
    QSet<QString> known(m_messageIds.cbegin(), m_messageIds.cend());
    return m_journal.read([&](const QByteArray &record) {
        QDataStream in(record);
        in.setVersion(WMailStreams::Version);
        qint8 kind = 0;
        QString id;
        in >> kind >> id;
        if (in.status() == QDataStream::Ok && kind == qint8(JournalEntry::Message) && !known.contains(id)) {
            known.insert(id);
            m_messageIds.append(id);
        }
    });
}

bool WMailConversation::load()
{
    if (m_loaded)
        return true;
    QFile file(conversationPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;

    BlockReader blocks(bytes);
    QByteArray header, tree, offsets;
    bool sound = blocks.next(&header) && deserializeHeader(header);
    // A damaged block leaves the ones before it in place and the later ones empty.
    auto root = WMailStructure::Pointer::create();
    sound = sound && blocks.next(&tree) && root->deserializeStructure(tree);
    KvrConfig offsetRecord;
    sound = sound && blocks.next(&offsets) && offsetRecord.DeserializeConfigBinary(offsets) && blocks.atEnd();
    m_root = root;
    m_viewRoot = root;
    m_itemOffsets = offsetRecord;
    if (!sound) {
        qWarning() << "wmail: damaged conversation file" << file.fileName() << "- loaded what was sound";
        m_damaged = true;
    }
    m_snapshotSize = bytes.size();
    m_index.clear();
    for (const QString &id : qAsConst(m_messageIds))
        m_index.insert(id, WMailStructure::Pointer());
    indexTree(*root);
    if (!m_journal.read([&](const QByteArray &record) { replay(record); }))
        return false;
    m_loaded = true;
    // Reading writes nothing (another process may be reading files the
    // client is writing): a long journal is folded at the next change.
    m_foldDue = journalOutgrewSnapshot();
    return true;
}

void WMailConversation::takeLoadedState(const WMailConversation &loaded)
{
    m_title = loaded.m_title;
    m_creationTime = loaded.m_creationTime;
    m_secondTimeStamp = loaded.m_secondTimeStamp;
    m_participants = loaded.m_participants;
    m_owner = loaded.m_owner;
    m_firstFlag = loaded.m_firstFlag;
    m_secondFlag = loaded.m_secondFlag;
    m_loaded = loaded.m_loaded;
    m_damaged = loaded.m_damaged;
    m_messageIds = loaded.m_messageIds;
    m_conversationRecord = loaded.m_conversationRecord;
    m_root = loaded.m_root;
    m_viewRoot = loaded.m_viewRoot;
    m_itemOffsets = loaded.m_itemOffsets;
    m_index = loaded.m_index;
    m_snapshotSize = loaded.m_snapshotSize;
    m_foldDue = loaded.m_foldDue;
    m_journal.takeReadState(loaded.m_journal);
}

void WMailConversation::indexTree(const WMailStructure &node)
{
    for (const WMailStructure::Pointer &child : node.children) {
        m_index.insert(child->id, child);
        indexTree(*child);
    }
}

void WMailConversation::replay(const QByteArray &record)
{
    QDataStream in(record);
    in.setVersion(WMailStreams::Version);
    qint8 kind = 0;
    in >> kind;
    if (kind == qint8(JournalEntry::ItemOffset)) {
        QString key;
        qint64 offset = -1;
        in >> key >> offset;
        if (in.status() == QDataStream::Ok && in.atEnd() && offset >= 0) {
            m_itemOffsets.SetValue(key, QString::number(offset), true);
            return;
        }
    } else if (kind == qint8(JournalEntry::Message)) {
        QString id, parentId, itemKey;
        qint32 index = 0;
        QByteArray structure;
        qint64 itemOffset = -1;
        in >> id >> parentId >> index >> structure >> itemKey >> itemOffset;
        auto message = WMailStructure::Pointer::create();
        if (in.status() == QDataStream::Ok && in.atEnd() && message->deserializeStructure(structure)
            && message->id == id && WMailStructure::isValidId(id)) {
            if (!itemKey.isEmpty() && itemOffset >= 0)
                m_itemOffsets.SetValue(itemKey, QString::number(itemOffset), true);
            if (m_index.contains(id))
                return; // already in the snapshot
            message->children.clear();
            WMailStructure::Pointer parent = findMessage(parentId);
            if (!parent)
                parent = m_root; // kept rather than lost
            parent->children.insert(qBound(0, index, parent->children.size()), message);
            m_messageIds.append(id);
            m_index.insert(id, message);
            return;
        }
    }
    // Sound by its checksum yet not a record this program writes: nothing
    // to file from it.
    qWarning() << "wmail: skipped a record it cannot read in" << m_journal.path();
}

bool WMailConversation::journalOutgrewSnapshot() const
{
    return m_journal.soundSize() > qMax(m_snapshotSize, kJournalFoldBytes);
}

void WMailConversation::keepDamagedCopy()
{
    const QString path = conversationPath();
    QString copy = path + QStringLiteral(".damaged");
    for (int n = 1; QFileInfo::exists(copy); ++n)
        copy = path + QStringLiteral(".damaged.") + QString::number(n);
    if (QFile::copy(path, copy))
        m_damaged = false;
    else
        qWarning() << "wmail: could not keep a copy of the damaged" << path;
}

bool WMailConversation::saveConversation()
{
    if (!m_loaded && QFileInfo::exists(conversationPath()) && !load())
        return false; // unreadable: writing now would lose what it holds
    if (!writeSnapshot())
        return false;
    // The snapshot holds all the journal said; its new name must reach the
    // disk before the journal goes. Should emptying the journal fail, the
    // next load replays records the snapshot already has, which changes nothing.
    syncFolder(m_folder);
    if (!m_journal.reset())
        qWarning() << "wmail: cannot empty" << m_journal.path();
    m_foldDue = false;
    return true;
}

bool WMailConversation::recordChange(const QByteArray &journalRecord)
{
    // Folded once per load at most: the journal a session appends is folded
    // after the next start, so that filing never waits for a whole rewrite.
    if (m_snapshotSize < 0 || m_damaged || m_foldDue || !QFileInfo::exists(conversationPath()))
        return saveConversation();
    if (!m_journal.append(journalRecord))
        return false;
    m_journal.syncSoon({heapPath()});
    return true;
}

bool WMailConversation::writeSnapshot()
{
    const QString path = conversationPath();
    if (m_damaged && QFileInfo::exists(path)) {
        keepDamagedCopy();
        if (m_damaged)
            return false;
    }
    if (!QDir().mkpath(m_folder)) {
        qWarning() << "wmail: cannot create" << m_folder;
        return false;
    }
    // A saved file replaces the link, but its target would be written first.
    if (QFileInfo(path).isSymLink()) {
        qWarning() << "wmail: not writing through the link" << path;
        return false;
    }
    const QByteArray content = block(serializeHeader()) + block(m_root->serializeStructure())
        + block(m_itemOffsets.SerializeConfigBinary());
    // Unbuffered, so that a short write (a full disk) shows in write's result:
    // a buffered flush takes a short write for success and commits a cut file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qWarning() << "wmail: cannot write" << path << file.errorString();
        return false;
    }
    if (file.write(content) != content.size()) {
        qWarning() << "wmail: saving" << path << "failed:" << file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        qWarning() << "wmail: saving" << path << "failed:" << file.errorString();
        return false;
    }
    m_snapshotSize = content.size();
    return true;
}

qint64 WMailConversation::appendItemRecord(const QByteArray &data)
{
    if (!QDir().mkpath(m_folder))
        return -1;
    // Never through a link: a link in the folder would have us append to
    // whatever it points at.
    const int descriptor = ::open(QFile::encodeName(heapPath()).constData(),
                                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        qWarning() << "wmail: cannot open" << heapPath() << qt_error_string(errno);
        return -1;
    }
    QFile file;
    if (!file.open(descriptor, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, // short writes show
                   QFileDevice::AutoCloseHandle))
        return -1; // the descriptor is closed by the failed open
    const qint64 offset = file.size();
    const QByteArray record = block(data);
    if (file.write(record) != record.size()) {
        qWarning() << "wmail: cannot append to" << file.fileName() << file.errorString();
        return -1;
    }
    return offset;
}

QByteArray WMailConversation::readItemRecord(qint64 offset) const
{
    QFile file(heapPath());
    if (offset < 0 || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    const qint64 size = file.size();
    if (offset > size - 4 || !file.seek(offset))
        return QByteArray();
    const int length = WUtilities::parseInt(file.read(4));
    if (length < 0 || length > size - offset - 4)
        return QByteArray();
    const QByteArray data = file.read(length);
    return data.size() == length ? data : QByteArray();
}

qint64 WMailConversation::putItemRecord(const QString &key, const QByteArray &data)
{
    const qint64 offset = appendItemRecord(data);
    if (offset >= 0)
        m_itemOffsets.SetValue(key, QString::number(offset), true);
    return offset;
}

QByteArray WMailConversation::itemRecord(const QString &key) const
{
    if (!m_itemOffsets.CheckKeyExist(key))
        return QByteArray();
    bool ok = false;
    const qint64 offset = m_itemOffsets.gv(key).toLongLong(&ok, 10);
    return ok ? readItemRecord(offset) : QByteArray();
}

bool WMailConversation::storeItemData(const QString &id, const QByteArray &data)
{
    return storeItem(id, data);
}

bool WMailConversation::storeItemPreview(const QString &id, const QByteArray &preview)
{
    return storeItem(id + kPreviewSuffix, preview);
}

bool WMailConversation::storeItem(const QString &key, const QByteArray &data)
{
    if (!m_loaded && QFileInfo::exists(conversationPath()) && !load())
        return false;
    const qint64 offset = putItemRecord(key, data);
    return offset >= 0 && recordChange(journalRecord(JournalEntry::ItemOffset, [&](QDataStream &out) {
               out << key << offset;
           }));
}

QByteArray WMailConversation::loadItemData(const QString &id)
{
    return itemRecord(id);
}

QByteArray WMailConversation::loadItemPreview(const QString &id)
{
    return itemRecord(id + kPreviewSuffix);
}

void WMailConversation::showItemsSince(const QDate &date)
{
    if (!m_viewRoot)
        return;
    const QList<WMailStructure::Pointer> &children = m_viewRoot->children;
    const WMailLocalClock clock;
    for (int i = 0; i < children.size(); ++i) {
        if (clock.toLocal(children.at(i)->localTime).date() >= date) {
            m_shownItems = children.size() - i;
            return;
        }
    }
}

QString WMailConversation::getMessageIdFromEnd(int index) const
{
    if (m_messageIds.isEmpty())
        return QString();
    if (index == -1)
        return m_messageIds.last();
    if (index >= 0 && index < m_messageIds.size())
        return m_messageIds.at(m_messageIds.size() - index - 1);
    return m_messageIds.first();
}

WMailStructure::Pointer WMailConversation::newMessage(const QString &itemType, const QString &sender,
                                                      const QDateTime &serverTime) const
{
    if (!m_viewRoot)
        return WMailStructure::Pointer();
    auto message = WMailStructure::Pointer::create();
    message->id = WMailStructure::newId();
    message->time = serverTime.toUTC();
    message->localTime = QDateTime::currentDateTimeUtc();
    for (const QString &recipient : qAsConst(m_viewRoot->recipients)) {
        if (!message->recipients.contains(recipient))
            message->recipients.append(recipient);
    }
    message->itemType = itemType;
    message->sender = sender;
    return message;
}

bool WMailConversation::addMessage(const WMailStructure::Pointer &parent, const WMailStructure::Pointer &message,
                                   const QByteArray &itemData, bool sorted)
{
    if (!m_loaded && QFileInfo::exists(conversationPath()) && !load())
        return false;
    if (sorted)
        parent->insertChildSorted(message);
    else
        parent->appendChild(message);
    m_messageIds.append(message->id);
    m_index.insert(message->id, message);
    // A text item is stored as its preview only; the other kinds keep their
    // full data (their previews are made from it).
    QString itemKey;
    if (message->itemType == kTextType)
        itemKey = message->id + kPreviewSuffix;
    else if (message->itemType == QLatin1String("files") || message->itemType == QLatin1String("photoalbum"))
        itemKey = message->id;
    const qint64 itemOffset = itemKey.isEmpty() ? 0 : putItemRecord(itemKey, itemData);
    const int index = sorted ? parent->children.lastIndexOf(message) : parent->children.size() - 1;
    if (itemOffset >= 0
        && recordChange(messageRecord(*parent, index, *message, itemKey, itemKey.isEmpty() ? -1 : itemOffset)))
        return true;
    // Not kept: a later save must not store the message without its item.
    parent->children.removeAt(index);
    m_messageIds.removeLast();
    m_index.remove(message->id);
    if (!itemKey.isEmpty())
        m_itemOffsets.RemoveKey(itemKey); // a new message's key: there was none before
    return false;
}

bool WMailConversation::containsMessage(const QString &id) const
{
    if (!m_loaded) // known by its header only
        return m_root->id == id || m_messageIds.contains(id) || m_root->findStructure(id);
    return m_root->id == id || m_index.contains(id);
}

WMailStructure::Pointer WMailConversation::findMessage(const QString &id) const
{
    return id == m_root->id ? m_root : m_index.value(id);
}
