#pragma once

#include <QFile>
#include <QString>

// A file that takes the place of its target only once written whole. The
// bytes go to a temporary file made anew beside the target (never opened
// through a link, never one that was there before), and commit() renames it
// over the target: a link at the target is replaced itself, never written
// through, and a file given up leaves the target as it was.
//
// The temporaries carry a name of their own, which the shares neither list
// nor let a peer name, so nobody reaches another's half-written file.
class PartialFile : public QFile
{
    Q_OBJECT

public:
    static bool isTemporaryName(const QString &fileName);

    explicit PartialFile(const QString &target);
    // Gives the temporary up unless committed.
    ~PartialFile() override;

    QString target() const { return m_target; }
    QString temporaryPath() const { return m_temporary; }

    // Makes the temporary; mode as QFile (WriteOnly or ReadWrite).
    bool open(OpenMode mode) override;
    // Syncs the bytes, keeps the permissions of a file it replaces, and
    // renames the temporary over the target. False leaves the target as it
    // was and the temporary gone.
    bool commit();
    // Closes and deletes the temporary.
    void discard();

private:
    const QString m_target;
    QString m_temporary;
};
