#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// The byte forms of a files item and what is done with them away from any
// widget: building the item data from local files, its preview, reading
// one entry back, and saving a received entry into a folder the user chose.
// Names, sizes and counts in received bytes come from a peer: every reader
// here is bounded by the bytes it is given.
class WMailFiles
{
public:
    WMailFiles() = delete;

    struct Entry
    {
        QString name;
        qint64 size = 0;
        QByteArray contents;
    };

    // What one message may carry: the record around it needs some room too.
    static constexpr qint64 MaxTotalSize = 60 * 1024 * 1024;

    static QString formatSize(qint64 bytes);

    // The item data of the regular files among paths (anything else is left
    // out, so the count matches the entries). Empty, with the reason in
    // *error, when a file cannot be read or the files are too big to send.
    // proceed, when given, is asked before each file (with the number done)
    // and stops the work (empty, no error) when it answers false.
    static QByteArray encode(const QStringList &paths, QString *error,
                             const std::function<bool(int)> &proceed = {});
    // The preview (names and sizes) of item data; empty when it is damaged.
    static QByteArray preview(const QByteArray &data);
    // The names and sizes of a preview; as many as its bytes hold.
    static QList<Entry> readPreview(const QByteArray &preview);
    // Entry index of item data; false when there is none.
    static bool readEntry(const QByteArray &data, int index, Entry *entry);

    // A peer's file name as one harmless, visible component of a folder.
    static QString safeName(const QString &peerName);
    // Writes the entry into folder under its safe name, never over an
    // existing file (a free " (n)" name is taken instead). The saved path,
    // or empty with the reason in *error.
    static QString save(const QString &folder, const Entry &entry, QString *error);
};
