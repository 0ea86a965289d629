#include "uiFolderPreferences.h"

#include "FormControls.h"
#include "applyPermittedUsers.h"
#include "wpSelectUsers.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>

uiFolderPreferences::uiFolderPreferences(WFtpMain &main, QWidget *parent)
    : QDialog(parent), usersPage(new wpSelectUsers(main)), m_main(main), m_tabs(new QTabWidget(this))
{
    setObjectName(QStringLiteral("uiFolderPreferences"));
    setWindowTitle(tr("Folder properties"));
    setStyleSheet(QStringLiteral("QDialog{background-color:rgb(255, 255, 255)}"));
    resize(423, 483);

    m_tabs->setObjectName(QStringLiteral("tabWidget"));
    auto *sharing = new QWidget;
    auto *sharingLayout = new QGridLayout(sharing);
    sharingLayout->setObjectName(QStringLiteral("sharingLayout"));
    sharingLayout->addWidget(usersPage);
    m_tabs->addTab(sharing, tr("Folder sharing"));
    m_tabs->setCurrentIndex(0);

    auto *ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("pushButton"));
    ok->setDefault(true);
    auto *cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName(QStringLiteral("pushButton_2"));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(ok);

    auto *grid = new QGridLayout(this);
    grid->addWidget(FormControls::heading(QStringLiteral("label"), tr("Folder properties"), 9, this), 0, 0);
    grid->addWidget(m_tabs, 1, 0);
    grid->addLayout(buttons, 2, 0);
    QMetaObject::connectSlotsByName(this);
}

bool uiFolderPreferences::edit(WFtpMain &main, const QString &virtualPath, QWidget *browser)
{
    QPointer<uiFolderPreferences> dialog = new uiFolderPreferences(main, browser);
    dialog->virtualPath = virtualPath;
    dialog->usersPage->loadPermittedUsers(virtualPath);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    delete dialog.data();
    return accepted;
}

void uiFolderPreferences::savePermissions()
{
    setCursor(Qt::WaitCursor);
    applyPermittedUsers(m_main, virtualPath, usersPage->permissionWidgets);
    unsetCursor();
}

void uiFolderPreferences::on_pushButton_clicked()
{
    savePermissions();
    accept();
}

void uiFolderPreferences::on_pushButton_2_clicked()
{
    reject();
}
