#include "WMailConversation.h"

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

} // namespace

WMailConversation::WMailConversation(const QString &folder, const QString &name)
    : m_folder(folder), m_name(name), m_root(WMailStructure::Pointer::create()), m_viewRoot(m_root)
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
    return true;
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
    m_loaded = true;
    if (!sound) {
        qWarning() << "wmail: damaged conversation file" << file.fileName() << "- loaded what was sound";
        m_damaged = true;
    }
    return true;
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
    const QString path = conversationPath();
    if (!m_loaded && QFileInfo::exists(path) && !load())
        return false; // unreadable: writing now would lose what it holds
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

bool WMailConversation::putItemRecord(const QString &key, const QByteArray &data)
{
    const qint64 offset = appendItemRecord(data);
    if (offset < 0)
        return false;
    m_itemOffsets.SetValue(key, QString::number(offset), true);
    return true;
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
    return putItemRecord(id, data) && saveConversation();
}

bool WMailConversation::storeItemPreview(const QString &id, const QByteArray &preview)
{
    return putItemRecord(id + kPreviewSuffix, preview) && saveConversation();
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
    for (int i = 0; i < children.size(); ++i) {
        if (children.at(i)->localTime.toLocalTime().date() >= date) {
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
    const KvrConfig offsetsBefore = m_itemOffsets;
    if (sorted)
        parent->insertChildSorted(message);
    else
        parent->appendChild(message);
    m_messageIds.append(message->id);
    // A text item is stored as its preview only; the other kinds keep their
    // full data (their previews are made from it).
    bool itemStored = true;
    if (message->itemType == kTextType)
        itemStored = putItemRecord(message->id + kPreviewSuffix, itemData);
    else if (message->itemType == QLatin1String("files") || message->itemType == QLatin1String("photoalbum"))
        itemStored = putItemRecord(message->id, itemData);
    if (itemStored && saveConversation())
        return true;
    // Not kept: a later save must not store the message without its item.
    parent->children.removeOne(message);
    m_messageIds.removeLast();
    m_itemOffsets = offsetsBefore;
    return false;
}

bool WMailConversation::containsMessage(const QString &id) const
{
    return m_root->id == id || m_messageIds.contains(id) || m_root->findStructure(id);
}
