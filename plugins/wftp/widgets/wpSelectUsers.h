#pragma once

#include <WDataStructure.h>

#include <QList>
#include <QWizardPage>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QListWidget;
class WFtpMain;
class uiPermissionWidget;

// The users a folder is shared with, one permission row each: the second
// page of "New folder sharing" and the "Folder sharing" tab of the folder's
// properties. It collects only; the caller stores permissionWidgets with
// applyPermittedUsers. Finishing with no rows is allowed: the folder then
// stays private.
class wpSelectUsers : public QWizardPage
{
    Q_OBJECT

public:
    explicit wpSelectUsers(WFtpMain &main, QWidget *parent = nullptr);

    // Shows the stored users of the own folder at virtualPath; a contact's
    // folder shows none.
    void loadPermittedUsers(const QString &virtualPath);

    QList<uiPermissionWidget *> permissionWidgets;

public slots:
    void slotRemoveUser();

private slots:
    void on_pushButton_3_clicked();

private:
    // "allusers", then every contact.
    void fillUsers();
    void addPermittedUserRow(const QSharedPointer<WDataStructure> &record);
    bool userExists(const QString &user) const;
    uiPermissionWidget *addRow();

    WFtpMain &m_main;
    QComboBox *m_users;
    QDateEdit *m_validTo;
    QCheckBox *m_permanent;
    QCheckBox *m_read;
    QCheckBox *m_write;
    QCheckBox *m_delete;
    QCheckBox *m_full;
    QListWidget *m_rows;
};
