#include "WDataStructure.h"

#include <QStringList>
#include <QVector>
#include <QtEndian>

#include <utility>

namespace {

const QString kSectionKey = QStringLiteral("section");

// Binary form under the text's Base64: a version byte, then the nodes in
// depth-first order, each as u32 record length, the record's binary form and
// u32 child count (all big-endian), its children following it.
constexpr char kFormatVersion = 1;
// The smallest node: record length, an empty record (its entry count) and
// the child count.
constexpr quint32 kMinNodeSize = 12;

// Serialises AddStructure calls, so two threads cannot close a cycle by each
// adding the other's ancestor at the same moment.
std::mutex &structureAddLock()
{
    static std::mutex lock;
    return lock;
}

void appendU32(QByteArray &out, quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    out.append(b, 4);
}

// Copies that share no storage with their source. Qt's implicit sharing lets
// a writer change shared storage in place once the other holders let go, and
// checks that with a relaxed load that thread checkers cannot follow; since
// trees are written from many threads, whatever leaves a node's lock has
// containers of its own (the values' bytes are never changed in place).
KvrConfig unsharedCopy(const KvrConfig &record)
{
    KvrConfig copy;
    for (int i = 0; i < record.size(); ++i)
        copy.SetValue(record.GetKey(i), record.GetValue(i));
    return copy;
}

QList<WDataStructure::Pointer> unsharedCopy(const QList<WDataStructure::Pointer> &children)
{
    QList<WDataStructure::Pointer> copy;
    copy.reserve(children.size());
    for (const WDataStructure::Pointer &child : children)
        copy.append(child);
    return copy;
}

class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : m_p(bytes.constData()), m_left(bytes.size()) {}

    bool readU32(quint32 &v)
    {
        if (m_left < 4)
            return false;
        v = qFromBigEndian<quint32>(m_p);
        skip(4);
        return true;
    }

    // One node's record and child count; null on damage.
    WDataStructure::Pointer readNode(quint32 &childCount)
    {
        quint32 recordLength = 0;
        if (!readU32(recordLength) || recordLength > quint32(m_left))
            return {};
        // The record copies what it keeps, so a view of the input is enough.
        const QByteArray record = QByteArray::fromRawData(m_p, int(recordLength));
        skip(recordLength);
        auto node = WDataStructure::Pointer::create();
        if (!node->KvrConfig::DeserializeConfigBinary(record))
            return {};
        if (!readU32(childCount) || childCount > quint32(m_left) / kMinNodeSize)
            return {};
        return node;
    }

    int left() const { return m_left; }

private:
    void skip(quint32 n)
    {
        m_p += n;
        m_left -= int(n);
    }

    const char *m_p;
    int m_left;
};

} // namespace

WDataStructure::WDataStructure() = default;

WDataStructure::WDataStructure(const WDataStructure &other) : KvrConfig()
{
    const std::lock_guard locker(other.m_mutex);
    KvrConfig::operator=(unsharedCopy(other));
    m_children = unsharedCopy(other.m_children);
}

WDataStructure &WDataStructure::operator=(const WDataStructure &other)
{
    if (this == &other)
        return *this;
    // Copy under the source's lock, then store under ours: never both at once.
    KvrConfig values;
    QList<Pointer> children;
    {
        const std::lock_guard locker(other.m_mutex);
        values = unsharedCopy(other);
        children = unsharedCopy(other.m_children);
    }
    const std::lock_guard locker(m_mutex);
    KvrConfig::operator=(values);
    m_children = children;
    return *this;
}

WDataStructure::~WDataStructure() = default;

void WDataStructure::SetValue(const QString &key, const QByteArray &value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WDataStructure::SetValue(const QString &key, const QString &value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WDataStructure::SetValue(const QString &key, const char *value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WDataStructure::SetValue(const QString &key, int value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WDataStructure::SetValue(const QString &key, qint64 value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WDataStructure::SetValue(const QString &key, bool value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WDataStructure::sv(const QString &key, const QString &value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::sv(key, value, overwrite);
}

QByteArray WDataStructure::GetValue(const QString &key) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::GetValue(key);
}

QByteArray WDataStructure::GetValue(int index) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::GetValue(index);
}

QString WDataStructure::GetKey(int index) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::GetKey(index);
}

QString WDataStructure::gv(const QString &key) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::gv(key);
}

bool WDataStructure::CheckKeyExist(const QString &key) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::CheckKeyExist(key);
}

bool WDataStructure::RemoveKey(const QString &key)
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::RemoveKey(key);
}

int WDataStructure::size() const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::size();
}

void WDataStructure::clear()
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::clear();
}

QString WDataStructure::SetID()
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::SetID();
}

QString WDataStructure::GetID() const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::GetID();
}

void WDataStructure::SetResult(bool ok)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetResult(ok);
}

bool WDataStructure::checkResult() const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::checkResult();
}

KvrConfig WDataStructure::values() const
{
    const std::lock_guard locker(m_mutex);
    return unsharedCopy(*this);
}

bool WDataStructure::hasValue(const QString &key, const QByteArray &value) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::CheckKeyExist(key) && KvrConfig::GetValue(key) == value;
}

WDataStructure::Pointer WDataStructure::findChild(const QByteArray &section) const
{
    // Each child is checked under its own lock, after ours is released.
    for (const Pointer &child : getChildren())
        if (child->hasValue(kSectionKey, section))
            return child;
    return {};
}

WDataStructure::Pointer WDataStructure::findOrAddChild(const QString &section)
{
    // Only one find-or-append per node at a time, so two writers of a new
    // path do not both append the node.
    const std::lock_guard creation(m_creationLock);
    if (Pointer found = findChild(section.toUtf8()))
        return found;
    auto child = Pointer::create();
    child->KvrConfig::SetValue(kSectionKey, section);
    const std::lock_guard locker(m_mutex);
    m_children.append(child);
    return child;
}

QByteArray WDataStructure::getSetting(const QString &path) const
{
    const QStringList parts = path.split(QLatin1Char('/'));
    const WDataStructure *node = this;
    Pointer hold;
    for (int i = 0; i < parts.size() - 1; ++i) {
        if (parts.at(i).isEmpty() || !(hold = node->findChild(parts.at(i).toUtf8())))
            return {};
        node = hold.data();
    }
    return node->GetValue(parts.last());
}

bool WDataStructure::setSetting(const QString &path, const QByteArray &value, bool create)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts)
        if (part.isEmpty())
            return false;
    WDataStructure *node = this;
    Pointer hold;
    for (int i = 0; i < parts.size() - 1; ++i) {
        hold = create ? node->findOrAddChild(parts.at(i)) : node->findChild(parts.at(i).toUtf8());
        if (!hold)
            return false;
        node = hold.data();
    }
    node->SetValue(parts.last(), value);
    return true;
}

WDataStructure::Pointer WDataStructure::getSettingStructure(const QString &path, bool create)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts)
        if (part.isEmpty())
            return {};
    WDataStructure *node = this;
    Pointer hold;
    for (const QString &part : parts) {
        hold = create ? node->findOrAddChild(part) : node->findChild(part.toUtf8());
        if (!hold)
            return {};
        node = hold.data();
    }
    return hold;
}

WDataStructure::Pointer WDataStructure::GetStructureByValue(const QString &key, const QString &value,
                                                            bool recursive, const Pointer &start) const
{
    const QByteArray wanted = value.toUtf8();
    const WDataStructure *base = start ? start.data() : this;
    if (!recursive) {
        for (const Pointer &child : base->getChildren())
            if (child->hasValue(key, wanted))
                return child;
        return {};
    }
    // Depth first, children in order: a stack of the nodes still to visit,
    // each with its depth, so a cycle made by shallow copies cannot loop.
    QVector<std::pair<Pointer, int>> pending;
    const QList<Pointer> top = base->getChildren();
    for (auto it = top.crbegin(); it != top.crend(); ++it)
        pending.append({*it, 2});
    while (!pending.isEmpty()) {
        const auto [node, depth] = pending.takeLast();
        if (node->hasValue(key, wanted))
            return node;
        if (depth >= MaxDepth)
            continue;
        const QList<Pointer> children = node->getChildren();
        for (auto it = children.crbegin(); it != children.crend(); ++it)
            pending.append({*it, depth + 1});
    }
    return {};
}

WDataStructure::Pointer WDataStructure::GetStructureByPos(int index) const
{
    const std::lock_guard locker(m_mutex);
    return index >= 0 && index < m_children.size() ? m_children.at(index) : Pointer();
}

bool WDataStructure::contains(const WDataStructure *node) const
{
    QVector<std::pair<const WDataStructure *, int>> pending{{this, 1}};
    QList<Pointer> keepAlive;
    while (!pending.isEmpty()) {
        const auto [current, depth] = pending.takeLast();
        if (current == node)
            return true;
        if (depth >= MaxDepth)
            continue;
        const QList<Pointer> children = current->getChildren();
        for (const Pointer &child : children)
            pending.append({child.data(), depth + 1});
        keepAlive += children;
    }
    return false;
}

bool WDataStructure::AddStructure(const Pointer &child)
{
    if (!child)
        return false;
    const std::lock_guard adding(structureAddLock());
    if (child->contains(this))
        return false;
    const std::lock_guard locker(m_mutex);
    m_children.append(child);
    return true;
}

bool WDataStructure::DeleteStructure(const Pointer &child)
{
    const std::lock_guard locker(m_mutex);
    return m_children.removeOne(child);
}

bool WDataStructure::DeleteStructure(const QString &section)
{
    const Pointer child = findChild(section.toUtf8());
    return child && DeleteStructure(child);
}

QList<WDataStructure::Pointer> WDataStructure::getChildren() const
{
    const std::lock_guard locker(m_mutex);
    return unsharedCopy(m_children);
}

int WDataStructure::childCount() const
{
    const std::lock_guard locker(m_mutex);
    return m_children.size();
}

void WDataStructure::clearChildren()
{
    QList<Pointer> dropped; // released after the lock
    const std::lock_guard locker(m_mutex);
    dropped.swap(m_children);
}

QString WDataStructure::SerializeStructure() const
{
    QByteArray out(1, kFormatVersion);
    // Depth first, each node written with its child count before its
    // children; the snapshots keep the nodes alive while they wait.
    struct Pending
    {
        const WDataStructure *node;
        Pointer hold;
        int depth;
    };
    QVector<Pending> pending{{this, Pointer(), 1}};
    while (!pending.isEmpty()) {
        const Pending current = pending.takeLast();
        QByteArray record;
        QList<Pointer> children;
        {
            const std::lock_guard locker(current.node->m_mutex);
            record = current.node->KvrConfig::SerializeConfigBinary();
            children = unsharedCopy(current.node->m_children);
        }
        if (!children.isEmpty() && current.depth >= MaxDepth)
            return {};
        appendU32(out, quint32(record.size()));
        out.append(record);
        appendU32(out, quint32(children.size()));
        for (auto it = children.crbegin(); it != children.crend(); ++it)
            pending.append({it->data(), *it, current.depth + 1});
    }
    return QString::fromLatin1(out.toBase64());
}

bool WDataStructure::DeserializeStructure(const QString &text)
{
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        text.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);

    // The tree is built apart and stored only when all of it was read.
    KvrConfig values;
    QList<Pointer> children;
    const auto parse = [&]() -> bool {
        const QByteArray &bytes = decoded.decoded;
        if (!decoded || bytes.isEmpty() || bytes.at(0) != kFormatVersion)
            return false;
        Reader reader(QByteArray::fromRawData(bytes.constData() + 1, bytes.size() - 1));
        quint32 count = 0;
        const Pointer root = reader.readNode(count);
        if (!root)
            return false;
        // Nodes whose children are still being read, with how many remain.
        QVector<std::pair<WDataStructure *, quint32>> open{{root.data(), count}};
        while (!open.isEmpty()) {
            if (open.last().second == 0) {
                open.removeLast();
                continue;
            }
            --open.last().second;
            const Pointer child = reader.readNode(count);
            if (!child)
                return false;
            open.last().first->m_children.append(child);
            if (count > 0) {
                if (open.size() + 1 >= MaxDepth)
                    return false;
                open.append({child.data(), count});
            }
        }
        if (reader.left() != 0)
            return false;
        values = *root;
        children = root->m_children;
        return true;
    };
    const bool ok = parse();

    QList<Pointer> dropped; // released after the lock
    const std::lock_guard locker(m_mutex);
    KvrConfig::operator=(values);
    dropped = std::exchange(m_children, children);
    return ok;
}

WDataStructure::Pointer WDataStructure::clone() const
{
    struct Pending
    {
        const WDataStructure *source;
        WDataStructure *target;
        int depth;
    };
    auto copy = Pointer::create();
    QVector<Pending> pending{{this, copy.data(), 1}};
    QList<Pointer> keepAlive; // the source nodes met in snapshots
    while (!pending.isEmpty()) {
        const Pending current = pending.takeLast();
        QList<Pointer> children;
        {
            const std::lock_guard locker(current.source->m_mutex);
            current.target->KvrConfig::operator=(unsharedCopy(*current.source));
            children = unsharedCopy(current.source->m_children);
        }
        if (!children.isEmpty() && current.depth >= MaxDepth)
            return {};
        keepAlive += children;
        for (const Pointer &child : children) {
            auto childCopy = Pointer::create();
            current.target->m_children.append(childCopy);
            pending.append({child.data(), childCopy.data(), current.depth + 1});
        }
    }
    return copy;
}
