#pragma once

#include "KvrConfig.h"
#include "basislib_global.h"

#include <QList>
#include <QSharedPointer>

#include <mutex>

// A tree record: a KvrConfig whose "section" value names the node, with an
// ordered list of child nodes.
//
// Settings are addressed by "/"-separated paths: the leading parts name child
// nodes by their "section" (the first child with that section wins), the last
// part is a key of the node reached. A node and a key may share a name at one
// level, so "a/b" can hold a value while "a/b/c" lives in a child "b" of "a".
//
// Trees are read and written from many threads at once: every operation of
// this class locks the node it works on, and never holds two nodes' locks at
// the same time (a walk takes a snapshot of a node's children, releases the
// node, then descends). Call the record accessors through WDataStructure, not
// through a KvrConfig reference: only these shadowing versions lock.
//
// Copying a node (copy constructor, assignment) is shallow: the copy shares
// the child nodes. clone() makes an independent deep copy.
class BASISLIB_EXPORT WDataStructure : public KvrConfig
{
public:
    using Pointer = QSharedPointer<WDataStructure>;

    // Deeper trees are neither read from nor written to the text form, so
    // hostile nesting cannot exhaust the stack.
    static constexpr int MaxDepth = 128;

    WDataStructure();
    WDataStructure(const WDataStructure &other);
    WDataStructure &operator=(const WDataStructure &other);
    ~WDataStructure() override;

    // The node's own values (locked versions of KvrConfig's accessors).
    void SetValue(const QString &key, const QByteArray &value, bool overwrite = true);
    void SetValue(const QString &key, const QString &value, bool overwrite = true);
    void SetValue(const QString &key, const char *value, bool overwrite = true);
    void SetValue(const QString &key, int value, bool overwrite = true);
    void SetValue(const QString &key, qint64 value, bool overwrite = true);
    void SetValue(const QString &key, bool value, bool overwrite = true);
    void sv(const QString &key, const QString &value, bool overwrite = true);
    QByteArray GetValue(const QString &key) const;
    QByteArray GetValue(int index) const;
    QString GetKey(int index) const;
    QString gv(const QString &key) const;
    bool CheckKeyExist(const QString &key) const;
    bool RemoveKey(const QString &key);
    int size() const;
    bool isEmpty() const { return size() == 0; }
    void clear(); // the node's values only; see clearChildren()
    QString SetID();
    QString GetID() const;
    void SetResult(bool ok);
    bool checkResult() const;

    // A consistent copy of the node's own values (without its children).
    KvrConfig values() const;

    // The value at path; empty when a node or the key is missing.
    QByteArray getSetting(const QString &path) const;
    // Sets the value at path. Missing nodes are appended when create is true;
    // otherwise a missing node makes this do nothing and return false. An
    // empty path or an empty part gives false.
    bool setSetting(const QString &path, const QByteArray &value, bool create = true);
    // The node at path, every part naming a node by its "section". With create
    // true, missing nodes are appended; otherwise null when one is missing.
    Pointer getSettingStructure(const QString &path, bool create = false);

    // The first node under start (this node when start is null) that has key
    // with the given value: its direct children only, or the whole subtree in
    // depth-first order when recursive. Null when none.
    Pointer GetStructureByValue(const QString &key, const QString &value, bool recursive = false,
                                const Pointer &start = Pointer()) const;
    // The child at index; null when out of range.
    Pointer GetStructureByPos(int index) const;
    // Appends child. Refuses (false) a null child and a child that is this
    // node or contains it, since a cycle would make every walk endless.
    bool AddStructure(const Pointer &child);
    // Removes that child (compared by identity); false when it is not one.
    bool DeleteStructure(const Pointer &child);
    // Removes the first child whose "section" is section; false when none.
    bool DeleteStructure(const QString &section);
    // A snapshot: later changes to this node's list do not show in it.
    QList<Pointer> getChildren() const;
    int childCount() const;
    void clearChildren();

    // Compact pure-ASCII text of the node, its values and its children at any
    // depth; empty when the tree is deeper than MaxDepth.
    QString SerializeStructure() const;
    // Replaces this node's values and children with those of text. Damaged
    // text leaves the node empty (no values, no children) and gives false.
    bool DeserializeStructure(const QString &text);

    // An independent deep copy: no node is shared with this tree. Null when
    // the tree is deeper than MaxDepth.
    Pointer clone() const;

private:
    bool hasValue(const QString &key, const QByteArray &value) const;
    Pointer findChild(const QByteArray &section) const;
    Pointer findOrAddChild(const QString &section);
    bool contains(const WDataStructure *node) const;

    // std::mutex rather than QMutex: thread checkers see its hand-overs.
    mutable std::mutex m_mutex;        // the node's values and child list
    mutable std::mutex m_creationLock; // makes find-or-append of a child atomic
    QList<Pointer> m_children;
};
