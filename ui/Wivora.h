#pragma once

#include <QAction>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>

class MainContainer;
class NotifyWindow;
class QDockWidget;
class QGridLayout;
class QLabel;
class QMenu;
class QProgressBar;
class QStackedWidget;
class QToolBar;
class SettingsDialog;
class UpdateCheck;
class WakeUpServer;
class uiContacts;
class uiLoginWidget;
class uiMainSettings;

// The program's one main window: the login form or, once logged in, the main
// content with the contacts dock and the plug-ins' pages, buttons, menus and
// docks; the tray icon; the pop-up notices; the quit sequence.
//
// It starts logged out and logs in automatically when the login form holds
// remembered values. Everything runs on the GUI thread; the session's events
// reach it queued.
class Wivora : public QMainWindow
{
    Q_OBJECT

public:
    // Takes over wakeUpServer (already listening; may be null) to come to the
    // front when another start of the program asks.
    explicit Wivora(WakeUpServer *wakeUpServer = nullptr, QWidget *parent = nullptr);
    ~Wivora() override;

    // Replaces how the window asks for the user's attention (a desktop alert).
    void setAlertHandler(const std::function<void()> &alert);

    uiLoginWidget *loginWidget() const { return m_login; }
    MainContainer *mainContainer() const { return m_content; }
    NotifyWindow *notifyWindow() const { return m_notify; }
    uiContacts *contactsPanel() const { return m_contacts; }
    SettingsDialog *settingsDialog() const { return m_settings; }
    UpdateCheck *updateCheck() const { return m_updateCheck; }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    QList<QDockWidget *> docks() const { return m_docks.keys(); }
    bool isLoggedInPage() const;

signals:
    void signalLogginingOut();
    // The log-in and log-out transitions have completed.
    void signalLoggedIn();
    void signalLoggedOut();

public slots:
    void slotUserLoggedIn();
    void slotUserLoggedOut();
    void slotTrayAnimationTimer();
    void slotUserStatusChanged(int status);
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void ShowNormalWindow();
    void ShowMaximizedWindow();
    void autoLogin();
    void slotpluginButtonClicked();
    void slotUserActivated(const QString &user);
    void slotDisplayActivityNotification(const QString &text);
    void slotSetStatusText(const QString &text);
    // The update download's bar in the status bar.
    void slotAddProgressBar();
    void slotRemoveProgressBar();
    void slotUpdateProgress(qint64 received, qint64 total);
    // The quit sequence: the menu, the tray, the desktop session's end and
    // the termination signals all come here.
    void on_actionQuit_triggered();

private slots:
    void on_actionDashboard_triggered();
    void on_actionHelp_triggered();
    void on_actionAbout_triggered();
    void on_actionInform_friends_about_Wivora_triggered();
    void on_actionChange_Password_triggered();
    void on_actionLog_out_triggered();
    void on_actionEdit_profile_triggered();
    void on_actionAdd_Contact_triggered();
    void on_actionSettings_triggered();
    void on_actionManage_plugins_triggered();
    void slotLoginEnded();
    // Unread news from contacts: the window title and the tray say how many.
    void slotCountUnread();
    // A lost service shows as offline in the tray and the contacts panel.
    void slotServiceReachable(bool reachable);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildForm();
    QAction *addAction(QMenu *menu, const QString &objectName, const QString &text, const QString &icon = QString());
    void buildTray();
    void restoreGeometryFromSettings();
    void placePlugins();
    void buildDocks();
    void buildSettings();
    void setSessionControlsEnabled(bool enabled);
    void setMainIcon(int status);
    void showTrayFrame();
    // The service's key was trusted on first use: the user is told, with
    // its fingerprint to compare.
    void showFirstUseKeyNotice();
    void showAttentionMarks();
    void runQuitSequence();

    // Form
    QGridLayout *m_centralGrid = nullptr;
    QStackedWidget *m_stack = nullptr;
    uiLoginWidget *m_login = nullptr;
    MainContainer *m_content = nullptr;
    QToolBar *m_toolBar = nullptr;
    QMenu *m_menuWivora = nullptr;
    QMenu *m_menuStatus = nullptr;
    QMenu *m_menuProfile = nullptr;
    QMenu *m_menuContacts = nullptr;
    QMenu *m_menuTools = nullptr;
    QMenu *m_menuWindows = nullptr;
    QAction *m_actionChangePassword = nullptr;
    QAction *m_actionLogOut = nullptr;
    QAction *m_actionDashboard = nullptr;
    QLabel *m_statusLabel = nullptr;

    uiContacts *m_contacts = nullptr;
    SettingsDialog *m_settings = nullptr;
    uiMainSettings *m_mainSettings = nullptr;
    UpdateCheck *m_updateCheck = nullptr;
    QProgressBar *m_progressBar = nullptr;
    NotifyWindow *m_notify = nullptr;

    QSystemTrayIcon *m_tray = nullptr;
    QTimer m_trayTimer;
    QMap<QString, QImage> m_trayIcons;
    QString m_trayFrame;
    int m_unread = 0;
    bool m_serviceReachable = true;

    QMap<QDockWidget *, Qt::DockWidgetArea> m_docks;
    // What the plug-ins put in the menu bar and on the tool bar.
    QList<QMenu *> m_pluginMenus;
    QList<QPointer<QAction>> m_pluginActions;
    QMap<QAction *, QString> m_pluginButtons;

    bool m_active = false;
    bool m_minimised = false;
    bool m_loggingOut = false;
    bool m_quitPending = false;
    bool m_quitting = false;
    std::function<void()> m_alert;
};
