#include "WMailStructure.h"

#include "WMailStreams.h"

#include <QDataStream>
#include <QIODevice>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>

QString WMailStructure::newId()
{
    return QUuid::createUuid().toString();
}

bool WMailStructure::isValidId(const QString &id)
{
    static const QRegularExpression braced(QStringLiteral(
        "\\A\\{[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\\}\\z"));
    return braced.match(id).hasMatch();
}

QByteArray WMailStructure::serializeStructure() const
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(WMailStreams::Version);
    out << id << time.toUTC() << localTime.toUTC() << flag << itemType << sender;
    WMailStreams::writeList(out, recipients);
    out << record.SerializeConfigBinary();
    out << qint32(children.size());
    for (const Pointer &child : children)
        out << child->serializeStructure();
    return bytes;
}

bool WMailStructure::deserializeStructure(const QByteArray &bytes)
{
    return read(bytes, 1);
}

bool WMailStructure::read(const QByteArray &bytes, int depth)
{
    if (depth > MaxDepth)
        return false;
    QDataStream in(bytes);
    in.setVersion(WMailStreams::Version);
    in >> id >> time >> localTime >> flag >> itemType >> sender;
    if (in.status() != QDataStream::Ok)
        return false;

    QSet<QString> known(recipients.cbegin(), recipients.cend());
    const bool recipientsRead = WMailStreams::readEach(in, [&](QDataStream &stream) {
        QString name;
        stream >> name;
        if (stream.status() == QDataStream::Ok && !known.contains(name)) {
            known.insert(name);
            recipients.append(name);
        }
    });
    if (!recipientsRead)
        return false;

    QByteArray recordBytes;
    in >> recordBytes;
    KvrConfig carried;
    if (in.status() != QDataStream::Ok || (!recordBytes.isEmpty() && !carried.DeserializeConfigBinary(recordBytes)))
        return false;
    record = carried;

    // Children are parsed in place: a copy per level would make a deep tree
    // cost its size times its depth.
    children.clear();
    const bool childrenRead = WMailStreams::readEach(in, [&](QDataStream &stream) {
        const QByteArray child = WMailStreams::readBlockInPlace(stream, bytes);
        if (stream.status() != QDataStream::Ok)
            return;
        auto structure = Pointer::create();
        if (!structure->read(child, depth + 1)) {
            stream.setStatus(QDataStream::ReadCorruptData);
            return;
        }
        children.append(structure);
    });
    return childrenRead && in.atEnd();
}

void WMailStructure::appendChild(const Pointer &child)
{
    children.append(child);
}

WMailStructure::Pointer WMailStructure::findStructure(const QString &wanted) const
{
    for (const Pointer &child : children) {
        if (child->id == wanted)
            return child;
        if (Pointer found = child->findStructure(wanted))
            return found;
    }
    return Pointer();
}

bool WMailStructure::insertChildSorted(const Pointer &child)
{
    // From the end: messages mostly come in the order they were written, so
    // the place is found at once however long the conversation is. A child
    // of the same time stays before it: equal times keep arrival order.
    const qint64 time = child->time.toMSecsSinceEpoch();
    int at = children.size();
    while (at > 0 && children.at(at - 1)->time.toMSecsSinceEpoch() > time)
        --at;
    children.insert(at, child);
    return true;
}

QString WMailStructure::previousSiblingId(const QString &wanted) const
{
    for (int i = 0; i < children.size(); ++i) {
        if (children.at(i)->id == wanted)
            return i > 0 ? children.at(i - 1)->id : QString();
    }
    return QString();
}
