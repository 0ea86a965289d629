#pragma once

#include <QMap>
#include <QMimeData>
#include <QString>

// Entries of a contact's folder, as a drag out of the file browser carries
// them: dropped on one of the user's own folders they are downloaded there.
struct DiscItems
{
    // The contact's folder the entries lie in (the transfer's base).
    QString folder;
    // Virtual path -> true for a file, false for a folder.
    QMap<QString, bool> items;
};

// The drag's data. The entries travel in the object itself: only a drag
// started in this process carries them, so another program's drag can never
// make a drop fetch paths of its choosing. The offered format's bytes are
// there only so views see a format they take.
class DiscItemsMimeData : public QMimeData
{
    Q_OBJECT

public:
    static const QString Format;

    // Null when there is nothing to drag (no contact's folder or no entries).
    static DiscItemsMimeData *create(const DiscItems &dragged);
    // The entries when data is this process's own drag; null otherwise.
    static const DiscItems *from(const QMimeData *data);

private:
    explicit DiscItemsMimeData(const DiscItems &dragged);

    const DiscItems m_dragged;
};
