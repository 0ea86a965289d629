#pragma once

#include "SourceVersion.h"

#include <QFile>
#include <QString>

// A file that takes the place of its target only once written whole. The
// bytes go to a temporary file beside the target (never opened through a
// link), and commit() renames it over the target: a link at the target is
// replaced itself, never written through, and a file given up leaves the
// target as it was.
//
// A download names the version of its source: its bytes then go to a partial
// under a fixed name of the target's, with a record of that version beside
// it, written before the first byte. Both outlive the process, a kill
// included, and a later open for the same version goes on from the end of
// the kept bytes; any other pair is started anew. A partial another run is
// writing is left alone: that open gets a temporary of its own.
//
// The temporaries carry a name of their own, which the shares neither list
// nor let a peer name, so nobody reaches another's half-written file.
class PartialFile : public QFile
{
    Q_OBJECT

public:
    static bool isTemporaryName(const QString &fileName);
    // A fresh name of that kind.
    static QString newTemporaryName();
    // The kept partial of a target and the record of its source: hidden
    // names in the target's folder, made from a digest of the target's name,
    // so no remote name reaches another folder or a file of the user's.
    static QString keptPath(const QString &target);
    static QString sourceRecordPath(const QString &target);
    // Makes the names in a folder durable (renames into it included).
    static bool syncFolder(const QString &folder);

    explicit PartialFile(const QString &target);
    PartialFile(const QString &target, const SourceVersion &source);
    // Gives a temporary up unless committed or kept.
    ~PartialFile() override;

    QString target() const { return m_target; }
    QString temporaryPath() const { return m_temporary; }
    // Where the open went on from: the bytes of a kept partial of the same
    // version, 0 for a new one.
    qint64 keptBytes() const { return m_keptBytes; }

    // Makes the temporary or takes up the kept partial; mode as QFile
    // (WriteOnly or ReadWrite).
    bool open(OpenMode mode) override;
    // Syncs the bytes, keeps the permissions of a file it replaces, and
    // renames the temporary over the target. False leaves the target as it
    // was and the temporary gone.
    bool commit();
    // commit() for a caller that synced the bytes itself (one sync for many
    // files) and syncs the target's folder afterwards.
    bool placeSynced();
    // Closes and deletes the temporary (and the record of a kept one).
    void discard();
    // Closes, leaving a kept partial and its record for a later run; other
    // temporaries are discarded.
    void keep();

private:
    bool openTemporary(OpenMode mode);
    // The kept partial, locked against other runs; false when another run
    // holds it or it cannot be made.
    bool openKept(OpenMode mode);
    int takeKeptPartial(int flags);
    bool recordMatches() const;
    bool writeRecord() const;
    bool adopt(int fd, OpenMode mode);

    const QString m_target;
    const SourceVersion m_source;
    QString m_temporary;
    bool m_isKept = false;
    qint64 m_keptBytes = 0;
};
