#pragma once

#include <QList>
#include <QString>

class WFtpMain;
class uiPermissionWidget;

// Makes the permitted users of the own folder at virtualPath those rows that
// carry a right, in row order, and tells the users concerned (see
// FolderPermissions::replace). A path that is not on an own disc stores
// nothing and tells nobody.
void applyPermittedUsers(WFtpMain &main, const QString &virtualPath, const QList<uiPermissionWidget *> &rows);
