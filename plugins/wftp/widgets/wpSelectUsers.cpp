#include "wpSelectUsers.h"

#include "FolderPermissions.h"
#include "FormControls.h"
#include "WFtpMain.h"
#include "uiPermissionWidget.h"

#include <IWHost.h>
#include <WivoraAccount.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int RowHeight = 94;
} // namespace

wpSelectUsers::wpSelectUsers(WFtpMain &main, QWidget *parent)
    : QWizardPage(parent), m_main(main)
{
    setObjectName(QStringLiteral("wpSelectUsers"));
    resize(403, 300);
    auto *chooser = new QGroupBox(this);
    chooser->setObjectName(QStringLiteral("groupBox"));
    m_users = new QComboBox(chooser);
    m_users->setObjectName(QStringLiteral("comboBox"));
    m_validTo = new QDateEdit(QDate::currentDate().addDays(1), chooser);
    m_validTo->setObjectName(QStringLiteral("dateEdit"));
    m_validTo->setCalendarPopup(true);
    m_permanent = FormControls::checkBox(QStringLiteral("checkBox"), tr("Permanent permission"), chooser);
    m_permanent->setChecked(true);
    m_read = FormControls::checkBox(QStringLiteral("checkBox_2"), tr("Read"), chooser);
    m_write = FormControls::checkBox(QStringLiteral("checkBox_3"), tr("Write"), chooser);
    m_delete = FormControls::checkBox(QStringLiteral("checkBox_4"), tr("Delete"), chooser);
    m_full = FormControls::checkBox(QStringLiteral("checkBox_5"), tr("Full control"), chooser);
    auto *add = new QPushButton(tr("Add user"), chooser);
    add->setObjectName(QStringLiteral("pushButton_3"));

    auto *grid = new QGridLayout(chooser);
    grid->addWidget(FormControls::label(QStringLiteral("label_3"), tr("Select user"), chooser), 0, 0);
    grid->addWidget(m_users, 0, 1, 1, 2);
    grid->addWidget(FormControls::label(QStringLiteral("label_4"), tr("Permission expiration date"), chooser), 1, 0);
    grid->addWidget(m_validTo, 1, 1);
    grid->addWidget(m_permanent, 1, 2);
    auto *rights = new QHBoxLayout;
    for (QWidget *right : {m_read, m_write, m_delete, m_full})
        rights->addWidget(right);
    rights->addStretch();
    rights->addWidget(add);
    grid->addLayout(rights, 2, 0, 1, 3);
    grid->setColumnStretch(2, 1);

    auto *selected = new QGroupBox(this);
    selected->setObjectName(QStringLiteral("groupBox_2"));
    m_rows = new QListWidget(selected);
    m_rows->setObjectName(QStringLiteral("listWidget"));
    // Two whole rows in view at least.
    m_rows->setMinimumHeight(2 * RowHeight + 2 * m_rows->frameWidth() + 4);
    auto *selectedLayout = new QVBoxLayout(selected);
    selectedLayout->addWidget(FormControls::heading(QStringLiteral("label_5"), tr("Selected users"), 8, selected));
    selectedLayout->addWidget(m_rows);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(FormControls::heading(QStringLiteral("label"), tr("Select users"), 9, this));
    layout->addWidget(FormControls::richText(QStringLiteral("label_2"),
                                           tr("Select users you want to share content with. This step is "
                                              "optional.<br/> If you do not select any users folder remains "
                                              "private. <br/>You can set permitted users for any subfolder later on."),
                                           this));
    layout->addWidget(chooser);
    layout->addWidget(selected, 1);

    fillUsers();
    QMetaObject::connectSlotsByName(this);
}

void wpSelectUsers::fillUsers()
{
    m_users->clear();
    IWHost *const host = m_main.host();
    const QSharedPointer<WivoraAccount> account = host ? host->getAccount() : nullptr;
    if (!account)
        return;
    m_users->addItem(FolderPermissions::AllUsers, FolderPermissions::AllUsers);
    for (const auto &contact : account->contactsData->getChildren()) {
        const QString name = contact->gv(QStringLiteral("username"));
        if (!name.isEmpty())
            m_users->addItem(name, name);
    }
}

bool wpSelectUsers::userExists(const QString &user) const
{
    for (const uiPermissionWidget *row : permissionWidgets) {
        if (row->getUsername() == user)
            return true;
    }
    return false;
}

uiPermissionWidget *wpSelectUsers::addRow()
{
    auto *row = new uiPermissionWidget;
    auto *item = new QListWidgetItem;
    item->setSizeHint(QSize(row->sizeHint().width(), RowHeight));
    permissionWidgets.append(row);
    m_rows->addItem(item);
    m_rows->setItemWidget(item, row);
    connect(row, &uiPermissionWidget::signalUserRemoved, this, &wpSelectUsers::slotRemoveUser);
    return row;
}

void wpSelectUsers::on_pushButton_3_clicked()
{
    const QString user = m_users->currentText();
    if (user.isEmpty() || userExists(user))
        return;
    addRow()->setPermission(user, m_validTo->date(), m_permanent->isChecked(), m_read->isChecked(),
                            m_write->isChecked(), m_delete->isChecked(), m_full->isChecked());
}

void wpSelectUsers::addPermittedUserRow(const QSharedPointer<WDataStructure> &record)
{
    if (record)
        addRow()->readPermission(record);
}

void wpSelectUsers::slotRemoveUser()
{
    auto *row = qobject_cast<uiPermissionWidget *>(sender());
    if (!row)
        return;
    for (int i = 0; i < m_rows->count(); ++i) {
        if (m_rows->itemWidget(m_rows->item(i)) != row)
            continue;
        // The button that asked is still on the stack: the row goes later.
        delete m_rows->takeItem(i);
        permissionWidgets.removeOne(row);
        row->deleteLater();
        return;
    }
}

void wpSelectUsers::loadPermittedUsers(const QString &virtualPath)
{
    m_rows->clear();
    permissionWidgets.clear();
    fillUsers();
    const QSharedPointer<WDataStructure> users = FolderPermissions(m_main).permittedUsers(virtualPath);
    if (!users)
        return;
    for (const auto &record : users->getChildren())
        addPermittedUserRow(record);
}
