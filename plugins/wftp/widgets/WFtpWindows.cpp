#include "WFtpWindows.h"

#include "uiFileBrowser.h"
#include "uiWebSharedFiles.h"

#include <WFtpMain.h>

#include <IWHost.h>
#include <PSettings.h>

#include <QFileDialog>
#include <QMessageBox>

WFtpWindows::WFtpWindows(WFtpMain &main, TransferManager &transfers, TransferMonitor &monitor)
    : m_main(main),
      m_mainPage(new uiMainWidget(main, transfers, main.mainPage())),
      m_settingsPage(new uiSettings),
      m_userPage(new uiMainWidget(main, transfers, main.userPage())),
      m_transferManager(new uiTransferManager(transfers)),
      m_transferMonitor(new uiTransferMonitor(monitor))
{
    // Named, so that the pages and actions can be found in the host's windows.
    m_mainPage->setObjectName(QStringLiteral("wftpMainPage"));
    m_userPage->setObjectName(QStringLiteral("wftpUserPage"));
    m_refreshUsersFolders = newAction(QStringLiteral("actionRefresh_Users_Folders"), tr("Refresh Users Folders"),
                                      QString(), &WFtpWindows::refreshUsersFolders);
    m_shareFolderForUser = newAction(QStringLiteral("actionShare_folder_for_user"), tr("Share folder for user"),
                                     QString(), &WFtpWindows::shareFolderForUser);
    m_shareLocalFileViaWww =
        newAction(QStringLiteral("actionShare_local_file_via_www"), tr("Share local file via www"),
                  QStringLiteral(":/icons/Resources/addfiles.png"), &WFtpWindows::shareLocalFileViaWww);
    m_addSharedFolder = newAction(QStringLiteral("actionAdd_shared_folder"), tr("Add shared folder"),
                                  QStringLiteral(":/icons/Resources/sharedfolder.png"), &WFtpWindows::addSharedFolder);
}

WFtpWindows::~WFtpWindows()
{
    // The host's windows delete what they took over; the rest goes here.
    for (QWidget *widget : {static_cast<QWidget *>(m_mainPage), static_cast<QWidget *>(m_settingsPage),
                            static_cast<QWidget *>(m_userPage), static_cast<QWidget *>(m_transferManager),
                            static_cast<QWidget *>(m_transferMonitor)}) {
        if (widget && !widget->parent())
            delete widget;
    }
}

QAction *WFtpWindows::newAction(const QString &name, const QString &text, const QString &icon,
                                void (WFtpWindows::*slot)())
{
    // The actions live with the main page, as the host's menus show them.
    auto *action = new QAction(text, m_mainPage);
    action->setObjectName(name);
    if (!icon.isEmpty())
        action->setIcon(QIcon(icon));
    connect(action, &QAction::triggered, this, slot);
    return action;
}

QMap<QDockWidget *, Qt::DockWidgetArea> WFtpWindows::makeDocks()
{
    QMap<QDockWidget *, Qt::DockWidgetArea> docks;
    const auto dock = [&docks](const QString &name, const QString &title, QWidget *content) {
        if (!content)
            return;
        auto *widget = new QDockWidget(title);
        widget->setObjectName(name);
        widget->setAllowedAreas(Qt::BottomDockWidgetArea);
        widget->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable
                            | QDockWidget::DockWidgetFloatable);
        widget->setWidget(content);
        docks.insert(widget, Qt::BottomDockWidgetArea);
    };
    dock(QStringLiteral("wftp:::transfermanager"), tr("Transfer Manager"), m_transferManager);
    dock(QStringLiteral("wftp:::transfermonitor"), tr("Transfer Monitor"), m_transferMonitor);
    return docks;
}

QList<QAction *> WFtpWindows::contactsContextMenu() const
{
    return {m_refreshUsersFolders, m_shareFolderForUser};
}

QList<QAction *> WFtpWindows::pluginMenu() const
{
    return {m_refreshUsersFolders, m_shareFolderForUser, m_shareLocalFileViaWww};
}

QList<QAction *> WFtpWindows::quickMenuActions() const
{
    return {m_addSharedFolder, m_shareLocalFileViaWww};
}

void WFtpWindows::refreshUsersFolders()
{
    m_main.startContactsRefresh();
}

void WFtpWindows::shareFolderForUser()
{
    IWHost *const host = m_main.host();
    if (!host)
        return;
    const QStringList selected = host->getSelectedContacts();
    if (selected.isEmpty()) {
        QMessageBox::information(nullptr, tr("Folder sharing"),
                                 tr("No user were selected. Please select user from your contacts"), QMessageBox::Ok);
        return;
    }
    const QString folder =
        QFileDialog::getExistingDirectory(nullptr, tr("Open Directory"), PSettings::GetValue(PSettings::LastFolderKey).toString(),
                                          QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty())
        return;
    PSettings::SetValue(PSettings::LastFolderKey, folder);
    const QString disc = m_main.shareFolderWith(folder, selected);
    if (disc.isEmpty() || !m_mainPage)
        return;
    uiFileBrowser *const own = m_mainPage->ownBrowser();
    if (!own->discPaths.contains(disc))
        own->discPaths.append(disc);
    if (own->currentPath == QLatin1String("/"))
        own->requestListDirectory(false);
}

void WFtpWindows::shareLocalFileViaWww()
{
    if (m_mainPage)
        m_mainPage->webSharedFiles()->on_actionAdd_File_triggered();
}

void WFtpWindows::addSharedFolder()
{
    if (m_mainPage)
        m_mainPage->ownBrowser()->on_actionShare_Folder_triggered();
}
