#pragma once

#include <KvrConfig.h>

#include <QByteArray>
#include <QDateTime>
#include <QEnableSharedFromThis>
#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

// One message of a threaded conversation; the conversation's root is one too,
// its children being the top-level messages. Always held by QSharedPointer.
class WMailStructure : public QObject, public QEnableSharedFromThis<WMailStructure>
{
    Q_OBJECT

public:
    using Pointer = QSharedPointer<WMailStructure>;

    // Deeper trees are taken for damage: every tree the program makes is two
    // levels deep, and the reader recurses once per level.
    static constexpr int MaxDepth = 256;

    QString id;
    QDateTime time;      // creation time on the main server's clock
    QDateTime localTime; // creation time on the author's clock
    QStringList recipients;
    bool flag = false;
    QString itemType;
    QString sender;
    KvrConfig record;
    QList<Pointer> children;

    // A fresh braced QUuid text, the form of every id the program makes.
    static QString newId();
    // True for "{" 8-4-4-4-12 hex digits "}".
    static bool isValidId(const QString &id);

    // This record and its subtree; times are written in UTC.
    QByteArray serializeStructure() const;
    // Fills this record from bytes: scalars replaced, recipients appended when
    // absent, children rebuilt. False on damage (a truncation, a length or
    // count beyond the bytes, trailing bytes, nesting beyond MaxDepth); the
    // record then holds what was read before the damage.
    bool deserializeStructure(const QByteArray &bytes);

    void appendChild(const Pointer &child);
    // The descendant with that id (depth-first, pre-order; never this record).
    Pointer findStructure(const QString &id) const;
    // Inserts after the last child whose time is not later, found from the
    // end (the same place as the first strictly later child, as long as the
    // children are in time order).
    bool insertChildSorted(const Pointer &child);
    // The id of the child before the child with that id; "" when it is the
    // first or absent.
    QString previousSiblingId(const QString &id) const;

private:
    bool read(const QByteArray &bytes, int depth);
};
