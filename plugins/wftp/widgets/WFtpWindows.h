#pragma once

#include "uiMainWidget.h"
#include "uiSettings.h"
#include "uiTransferManager.h"
#include "uiTransferMonitor.h"

#include <QAction>
#include <QDockWidget>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>

class TransferManager;
class TransferMonitor;
class WFtpMain;

// What the plug-in shows in the host's windows: the main page, the
// per-contact page "files", the settings page, the transfer docks' contents
// and the menu actions. Made once on the GUI thread, without parents: the
// host's windows take the widgets over. Widgets no window took are deleted
// with this object.
class WFtpWindows : public QObject
{
    Q_OBJECT

public:
    WFtpWindows(WFtpMain &main, TransferManager &transfers, TransferMonitor &monitor);
    ~WFtpWindows() override;

    uiMainWidget *mainPage() const { return m_mainPage; }
    uiMainWidget *userPage() const { return m_userPage; }
    uiSettings *settingsPage() const { return m_settingsPage; }
    uiTransferManager *transferManager() const { return m_transferManager; }
    uiTransferMonitor *transferMonitor() const { return m_transferMonitor; }
    // New dock widgets on every call, around the same two contents.
    QMap<QDockWidget *, Qt::DockWidgetArea> makeDocks();

    QList<QAction *> contactsContextMenu() const;
    QList<QAction *> pluginMenu() const;
    QList<QAction *> quickMenuActions() const;

    // Asks the contacts for their discs again.
    void refreshUsersFolders();
    // Shares a chosen folder, with every right, with the selected contacts.
    void shareFolderForUser();
    void shareLocalFileViaWww();
    void addSharedFolder();

private:
    QAction *newAction(const QString &name, const QString &text, const QString &icon, void (WFtpWindows::*slot)());

    WFtpMain &m_main;
    QPointer<uiMainWidget> m_mainPage;
    QPointer<uiSettings> m_settingsPage;
    QPointer<uiMainWidget> m_userPage;
    QPointer<uiTransferManager> m_transferManager;
    QPointer<uiTransferMonitor> m_transferMonitor;
    QPointer<QAction> m_refreshUsersFolders;
    QPointer<QAction> m_shareFolderForUser;
    QPointer<QAction> m_shareLocalFileViaWww;
    QPointer<QAction> m_addSharedFolder;
};
