#pragma once

#include <WDataStructure.h>

#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

class WFtpMain;

// The permitted users of one folder of the logged-in user's own discs, named
// by its virtual path ("vls/<me>/<disc>/root/<path>" or a shared folder's
// section in place of "root"): read for the permission pages, and replaced as
// a whole, telling every user concerned.
class FolderPermissions
{
public:
    // The pseudo-user whose record applies to every user: no client answers
    // to it, so nothing is ever sent to it.
    static const QString AllUsers;

    explicit FolderPermissions(WFtpMain &main);

    // The folder's "permittedusers" node, made in memory when the folder's
    // record has none; null for a path that is not on an own disc or names
    // no folder record.
    QSharedPointer<WDataStructure> permittedUsers(const QString &virtualPath);

    // Makes the folder's list exactly `granted` (records carrying a right, in
    // order), creating the folder's record on first use. Each granted user is
    // sent the folders it may now see; each user who loses the folder (listed
    // in `withoutRights`, or holding a record before and none now) is sent a
    // disconnect for it; each user gets one push. The account is saved when
    // the list changed, an emptied list too. False when the path is not on an
    // own disc: nothing is stored and nobody is told.
    bool replace(const QString &virtualPath, const QList<QSharedPointer<WDataStructure>> &granted,
                 const QStringList &withoutRights);

private:
    // The disc and the folder record's "path" a virtual path names; false
    // when it is not on one of the user's own discs.
    bool locate(const QString &virtualPath, QString &disc, QString &folderPath);

    WFtpMain &m_main;
};
