#include "applyPermittedUsers.h"

#include "FolderPermissions.h"
#include "uiPermissionWidget.h"

void applyPermittedUsers(WFtpMain &main, const QString &virtualPath, const QList<uiPermissionWidget *> &rows)
{
    QList<QSharedPointer<WDataStructure>> granted;
    QStringList withoutRights;
    for (const uiPermissionWidget *row : rows) {
        if (!row->hasAnyRight()) {
            withoutRights << row->getUsername();
            continue;
        }
        auto record = QSharedPointer<WDataStructure>::create();
        row->writePermission(record);
        granted << record;
    }
    FolderPermissions(main).replace(virtualPath, granted, withoutRights);
}
