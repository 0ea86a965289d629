#pragma once

#include "IContactsView.h"

#include <QWidget>

class ContactList;
class QAction;
class QContactItemDelegate;
class QFrame;
class QLabel;
class QPushButton;
class QTreeWidgetItem;

// The contacts panel: the own name, status and avatar, the "Add Contact" and
// "Change status" buttons, and the contact list. It keeps the list in step
// with the session's events, asks whether to accept a stranger, adds and
// deletes contacts and offers the plug-ins' contact actions.
//
// The IContactsView operations may be called from any thread: they take
// effect on the GUI thread in call order.
class uiContacts : public QWidget, public IContactsView
{
    Q_OBJECT

public:
    explicit uiContacts(QWidget *parent = nullptr);
    ~uiContacts() override;

    void reloadContacts() override;
    void refreshContactItem(const QString &user) override;
    QStringList getSelectedContacts() override;
    void setContactSendProgress(const QString &user, int percent) override;
    void setContactReceiveProgress(const QString &user, int percent) override;

    ContactList *contactList() const { return m_list; }

signals:
    void signalUserActivated(const QString &user);

public slots:
    void slotUserLoggedIn();
    void slotUpdatePersonalData();
    void slotUserStatusChanged(int status);
    // While the service is away the own status shows offline.
    void slotServiceReachable(bool reachable);
    void slotNewContactAdded(const QString &user);
    void slotCustomMenuRequested(const QPoint &pos);
    void slotContactChanged(const QString &user);
    void slotUserActivated(QTreeWidgetItem *item, int column);
    void slotAcceptNewUser(const QString &user);

private slots:
    void on_actionDelete_Contact_triggered();
    void on_actionAdd_contact_triggered();
    void on_pushButton_3_clicked();

private:
    struct Row
    {
        QString user;
        int status = 0;
    };

    void buildForm();
    void fill(const QList<Row> &rows);
    void addRow(const QString &user, int status);
    // Every row of user (the tree may hold two); none when it has no row.
    QList<QTreeWidgetItem *> rowsOf(const QString &user) const;
    void setRowData(const QString &user, int role, const QVariant &value);
    void showOwnStatus();
    void showOwnAvatar();
    static int contactStatus(const QString &user);

    ContactList *m_list = nullptr;
    QContactItemDelegate *m_delegate = nullptr;
    QFrame *m_personalFrame = nullptr;
    QLabel *m_statusLabel = nullptr;
    QLabel *m_nameLabel = nullptr;
    QLabel *m_avatarLabel = nullptr;
    QPushButton *m_addButton = nullptr;
    QPushButton *m_statusButton = nullptr;
    QAction *m_statusActions[4] = {};
    bool m_serviceReachable = true;
    QAction *m_addAction = nullptr;
    QAction *m_deleteAction = nullptr;
};
