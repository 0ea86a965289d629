#include "Wivora.h"

#include "BusyTriggers.h"
#include "MainClass.h"
#include "MainContainer.h"
#include "NotifyWindow.h"
#include "ServiceSettings.h"
#include "WCommonOperations.h"
#include "WGraphicsOperations.h"
#include "WakeUpServer.h"
#include "WindowPlacement.h"
#include "ClientVersion.h"
#include "SettingsDialog.h"
#include "UpdateCheck.h"
#include "uiAddUserWindow.h"
#include "uiContacts.h"
#include "uiLoginWidget.h"
#include "uiMainSettings.h"
#include "uiManagePlugins.h"
#include "uiPersonalize.h"
#include "uiUserProfileView.h"

#include <ExternalLinks.h>
#include <IWPlugin.h>
#include <PSettings.h>
#include <ThreadUtilities.h>
#include <WDataStructure.h>
#include <WUtilities.h>
#include <WivoraAccount.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QRadialGradient>
#include <QScreen>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolBar>
#include <QWindow>

namespace {

const QString WindowStateSetting = QStringLiteral("settings/common/userStatus/windowsstate");
const QString SizeKey = QStringLiteral("mainwindow/size");
const QString PositionKey = QStringLiteral("mainwindow/position");
const QString FullScreenKey = QStringLiteral("mainwindow/isFullScreen");
const QString MainIconKey = QStringLiteral("mainicon");
const int TrayIntervalMs = 1000;
const int TrayIconSize = 20;

QIcon iconOf(const QImage &image)
{
    return QIcon(QPixmap::fromImage(image));
}

// The tray picture with a red dot in its top right corner: something unread.
QImage withUnreadDot(const QImage &picture)
{
    QImage marked = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&marked);
    painter.setRenderHint(QPainter::Antialiasing);
    const int diameter = qMax(6, marked.width() / 2);
    painter.setPen(QPen(Qt::white, 1));
    painter.setBrush(QColor(220, 30, 30));
    painter.drawEllipse(QRect(marked.width() - diameter, 0, diameter - 1, diameter - 1));
    return marked;
}

} // namespace

Wivora::Wivora(WakeUpServer *wakeUpServer, QWidget *parent)
    : QMainWindow(parent)
{
    buildForm();
    qApp->installEventFilter(this);
    QApplication::setQuitOnLastWindowClosed(false);

    m_stack = new QStackedWidget;
    m_login = new uiLoginWidget;
    m_content = new MainContainer;
    m_stack->addWidget(m_login);
    m_stack->addWidget(m_content);
    m_stack->setCurrentWidget(m_login);
    m_centralGrid->addWidget(m_stack, 0, 0);

    buildTray();
    MainClass *session = MainClass::instance();
    m_contacts = new uiContacts;
    // Before the first login: the session fills the list when it starts.
    session->setContactsView(m_contacts);

    if (wakeUpServer)
        connect(wakeUpServer, &WakeUpServer::signalWakeUp, this, &Wivora::ShowNormalWindow);
    connect(m_tray, &QSystemTrayIcon::activated, this, &Wivora::iconActivated);
    connect(m_login, &uiLoginWidget::signalUserLoggedIn, this, &Wivora::slotUserLoggedIn);
    connect(m_login, &uiLoginWidget::signalUserLoginFailed, this, &Wivora::ShowNormalWindow);
    connect(m_login, &uiLoginWidget::signalLoginEnded, this, &Wivora::slotLoginEnded);
    connect(&m_trayTimer, &QTimer::timeout, this, &Wivora::slotTrayAnimationTimer);
    WSignalsDispatcher *dispatcher = session->signalsDispatcher();
    connect(dispatcher, &WSignalsDispatcher::signalUserStatusChanged, this, &Wivora::slotUserStatusChanged);
    connect(dispatcher, &WSignalsDispatcher::signalLogout, this, &Wivora::slotUserLoggedOut);
    connect(dispatcher, &WSignalsDispatcher::signalShowMainWindow, this, &Wivora::ShowNormalWindow);
    connect(dispatcher, &WSignalsDispatcher::signalDisplayActivityNotification, this,
            &Wivora::slotDisplayActivityNotification);
    connect(dispatcher, &WSignalsDispatcher::signalSetStatusText, this, &Wivora::slotSetStatusText);
    connect(dispatcher, &WSignalsDispatcher::signalUserActivityChanged, this, &Wivora::slotCountUnread);
    connect(dispatcher, &WSignalsDispatcher::signalServiceReachable, this, &Wivora::slotServiceReachable);
    connect(m_contacts, &uiContacts::signalUserActivated, this, &Wivora::slotUserActivated);

    restoreGeometryFromSettings();
    ensureThreadPoolCapacity();
    session->pluginManager()->loadPlugins();
    placePlugins();
    buildDocks();
    buildSettings();

    m_statusLabel = new QLabel(tr("Logged out"));
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusBar()->addWidget(m_statusLabel, 0);

    QTimer::singleShot(0, this, &Wivora::autoLogin);
    setMainIcon(0);
    m_trayTimer.start(TrayIntervalMs);
    setSessionControlsEnabled(false);

    m_updateCheck = new UpdateCheck(UpdateCheck::DefaultRoundIntervalMs, this);
    connect(m_updateCheck, &UpdateCheck::signalAddProgressBar, this, &Wivora::slotAddProgressBar);
    connect(m_updateCheck, &UpdateCheck::signalRemoveProgressbar, this, &Wivora::slotRemoveProgressBar);
    connect(m_updateCheck, &UpdateCheck::signalProgress, this, &Wivora::slotUpdateProgress);

    m_notify = new NotifyWindow;
    connect(m_notify, &NotifyWindow::signalActivated, this, &Wivora::ShowNormalWindow);
    m_alert = [this] { QApplication::alert(this, 0); };
}

Wivora::~Wivora()
{
    qApp->removeEventFilter(this);
    // The list dies with its dock; the session outlives the window.
    MainClass::instance()->setContactsView(nullptr);
    delete m_notify;
}

void Wivora::setAlertHandler(const std::function<void()> &alert)
{
    m_alert = alert;
}

bool Wivora::isLoggedInPage() const
{
    return m_stack->currentWidget() == m_content;
}

QAction *Wivora::addAction(QMenu *menu, const QString &objectName, const QString &text, const QString &icon)
{
    auto *action = new QAction(text, this);
    action->setObjectName(objectName);
    if (!icon.isEmpty())
        action->setIcon(QIcon(QStringLiteral(":/Wivora/Resources/") + icon));
    if (menu)
        menu->addAction(action);
    return action;
}

void Wivora::buildForm()
{
    setObjectName(QStringLiteral("WivoraClass"));
    setWindowTitle(QStringLiteral("Wivora"));
    setWindowIcon(QIcon(QStringLiteral(":/Wivora/Resources/wivora30.png")));
    resize(758, 555);

    auto *central = new QWidget;
    central->setObjectName(QStringLiteral("centralWidget"));
    auto *outer = new QGridLayout(central);
    outer->setSpacing(2);
    outer->setContentsMargins(2, 2, 2, 2);
    m_centralGrid = new QGridLayout;
    m_centralGrid->setObjectName(QStringLiteral("gridLayout"));
    m_centralGrid->setSpacing(6);
    outer->addLayout(m_centralGrid, 0, 0);
    setCentralWidget(central);

    QMenuBar *bar = menuBar();
    m_menuWivora = bar->addMenu(tr("Wivora"));
    m_menuWivora->setObjectName(QStringLiteral("menuWivora"));
    m_menuStatus = m_menuWivora->addMenu(tr("Status"));
    m_menuStatus->setObjectName(QStringLiteral("menuStatus"));
    m_menuProfile = m_menuWivora->addMenu(tr("Profile"));
    m_menuProfile->setObjectName(QStringLiteral("menuProfile"));
    m_menuContacts = m_menuWivora->addMenu(tr("Contacts"));
    m_menuContacts->setObjectName(QStringLiteral("menuContacts"));
    m_menuWivora->addSeparator();
    m_actionChangePassword = addAction(m_menuWivora, QStringLiteral("actionChange_Password"), tr("Change Password"));
    m_actionLogOut = addAction(m_menuWivora, QStringLiteral("actionLog_out"), tr("Log out"));
    m_menuWivora->addSeparator();
    QAction *quit = addAction(m_menuWivora, QStringLiteral("actionQuit"), tr("Quit"));

    const QList<QPair<int, QAction *>> statuses = {
        {1, addAction(m_menuStatus, QStringLiteral("actionAvailable"), tr("Online"), QStringLiteral("status_online.png"))},
        {2, addAction(m_menuStatus, QStringLiteral("actionAway"), tr("Away"), QStringLiteral("status_away.png"))},
        {3, addAction(m_menuStatus, QStringLiteral("actionDo_not_disturb"), tr("Do not disturb"),
                      QStringLiteral("status_dontdisturb.png"))},
        {0, addAction(m_menuStatus, QStringLiteral("actionInvisible"), tr("Invisible"), QStringLiteral("status_offline.png"))},
    };
    for (const auto &status : statuses) {
        const int value = status.first;
        connect(status.second, &QAction::triggered, this, [value] { WCommonOperations::setUserStatus(value); });
    }
    QAction *editProfile = addAction(m_menuProfile, QStringLiteral("actionEdit_profile"), tr("Edit profile"));
    QAction *addContact = addAction(m_menuContacts, QStringLiteral("actionAdd_Contact"), tr("Add Contact"));

    m_menuTools = bar->addMenu(tr("Tools"));
    m_menuTools->setObjectName(QStringLiteral("menuTools"));
    QMenu *plugins = m_menuTools->addMenu(tr("Plugins"));
    plugins->setObjectName(QStringLiteral("menuPlugins"));
    QAction *managePlugins = addAction(plugins, QStringLiteral("actionManage_plugins"), tr("Manage plugins"));
    m_menuTools->addSeparator();
    QAction *settings = addAction(m_menuTools, QStringLiteral("actionSettings"), tr("Settings"));

    m_menuWindows = bar->addMenu(tr("Windows"));
    m_menuWindows->setObjectName(QStringLiteral("menuWindows"));
    QMenu *help = bar->addMenu(tr("Help"));
    help->setObjectName(QStringLiteral("menuHelp"));
    QAction *about = addAction(help, QStringLiteral("actionAbout"), tr("About"));
    QAction *helpPage = addAction(help, QStringLiteral("actionHelp"), tr("Help"));
    QAction *invite = addAction(nullptr, QStringLiteral("actionInform_friends_about_Wivora"), tr("Invite friends"));

    m_toolBar = new QToolBar(this);
    m_toolBar->setObjectName(QStringLiteral("toolbar"));
    m_toolBar->setIconSize(QSize(16, 16));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    addToolBar(Qt::TopToolBarArea, m_toolBar);
    m_actionDashboard = addAction(nullptr, QStringLiteral("actionDashboard"), tr("Dashboard"), QStringLiteral("dispatcher.png"));
    m_toolBar->addAction(m_actionDashboard);
    m_toolBar->addSeparator();

    connect(quit, &QAction::triggered, this, &Wivora::on_actionQuit_triggered);
    connect(editProfile, &QAction::triggered, this, &Wivora::on_actionEdit_profile_triggered);
    connect(addContact, &QAction::triggered, this, &Wivora::on_actionAdd_Contact_triggered);
    connect(settings, &QAction::triggered, this, &Wivora::on_actionSettings_triggered);
    connect(managePlugins, &QAction::triggered, this, &Wivora::on_actionManage_plugins_triggered);
    connect(m_actionChangePassword, &QAction::triggered, this, &Wivora::on_actionChange_Password_triggered);
    connect(m_actionLogOut, &QAction::triggered, this, &Wivora::on_actionLog_out_triggered);
    connect(m_actionDashboard, &QAction::triggered, this, &Wivora::on_actionDashboard_triggered);
    connect(about, &QAction::triggered, this, &Wivora::on_actionAbout_triggered);
    connect(helpPage, &QAction::triggered, this, &Wivora::on_actionHelp_triggered);
    connect(invite, &QAction::triggered, this, &Wivora::on_actionInform_friends_about_Wivora_triggered);
}

void Wivora::buildTray()
{
    auto *minimize = new QAction(tr("Mi&nimize"), this);
    auto *maximize = new QAction(tr("Ma&ximize"), this);
    auto *restore = new QAction(tr("&Restore"), this);
    auto *quit = new QAction(tr("&Quit"), this);
    connect(minimize, &QAction::triggered, this, &QWidget::showMinimized);
    connect(maximize, &QAction::triggered, this, &Wivora::ShowMaximizedWindow);
    connect(restore, &QAction::triggered, this, &Wivora::ShowNormalWindow);
    connect(quit, &QAction::triggered, this, &Wivora::on_actionQuit_triggered);
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("trayMenu"));
    menu->addMenu(m_menuStatus);
    menu->addAction(minimize);
    menu->addAction(maximize);
    menu->addAction(restore);
    menu->addSeparator();
    menu->addAction(quit);
    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(menu);
    m_tray->setIcon(iconOf(WGraphicsOperations::getStatusImage(0, TrayIconSize)));
    m_tray->setToolTip(QStringLiteral("Wivora"));
    // A platform without a native interface ("minimal") cannot host one; the
    // icon then stays hidden and closing the window still minimises it.
    if (QGuiApplication::platformNativeInterface())
        m_tray->show();
}

void Wivora::restoreGeometryFromSettings()
{
    const QSize size = PSettings::GetValue(SizeKey).toSize();
    if (size.width() >= 1)
        resize(size);
    QScreen *primary = QGuiApplication::primaryScreen();
    if (!primary)
        return;
    QList<QRect> screens;
    for (QScreen *screen : QGuiApplication::screens())
        screens << screen->availableGeometry();
    move(WindowPlacement::windowPosition(PSettings::GetValue(PositionKey).toPoint(), this->size(),
                                         primary->geometry(), screens));
}

void Wivora::placePlugins()
{
    QList<QAction *> pageButtons;
    QList<QAction *> quickActions;
    quickActions << m_toolBar->addSeparator();
    // Each list is asked for once: a plug-in may build new objects per call.
    for (const PluginRecord &record : MainClass::instance()->pluginManager()->plugins()) {
        auto *plugin = qobject_cast<IWPlugin *>(record.instance);
        if (!plugin)
            continue;
        for (QWidget *widget : plugin->getMainPluginWidget()) {
            m_content->addPluginWidget(record.name, iconOf(record.icon), widget);
            auto *button = new QAction(iconOf(plugin->getWindowIcon(widget)), record.name, m_toolBar);
            connect(button, &QAction::triggered, this, &Wivora::slotpluginButtonClicked);
            pageButtons << button;
            m_pluginButtons.insert(button, record.name);
        }
        const QMap<QString, QWidget *> userWidgets = plugin->getUserWidget();
        for (auto page = userWidgets.cbegin(); page != userWidgets.cend(); ++page)
            m_content->profileView()->addUserWidget(page.key(), plugin->getWindowIcon(page.value()), page.value());
        const QList<QAction *> menuActions = plugin->getPluginMenu();
        if (!menuActions.isEmpty()) {
            auto *menu = new QMenu(plugin->getPluginDisplayName(), menuBar());
            menu->addActions(menuActions);
            menuBar()->insertMenu(m_menuTools->menuAction(), menu);
            m_pluginMenus << menu;
        }
        const QList<QAction *> quick = plugin->getQuickMenuActions();
        if (!quick.isEmpty()) {
            quickActions << quick;
            for (QAction *action : quick)
                m_pluginActions << action;
            auto *separator = new QAction(m_toolBar);
            separator->setSeparator(true);
            quickActions << separator;
        }
    }
    // Adding an action already on the bar moves it to the end: the first
    // separator ends up after the page buttons.
    m_toolBar->addActions(pageButtons);
    m_toolBar->addActions(quickActions);
}

void Wivora::buildDocks()
{
    auto *contactsDock = new QDockWidget(tr("Contacts"), this);
    contactsDock->setObjectName(QStringLiteral("contacts"));
    contactsDock->setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);
    contactsDock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable
                              | QDockWidget::DockWidgetFloatable);
    contactsDock->setWidget(m_contacts);
    m_menuWindows->addAction(contactsDock->toggleViewAction());
    m_docks.insert(contactsDock, Qt::LeftDockWidgetArea);

    for (const PluginRecord &record : MainClass::instance()->pluginManager()->plugins()) {
        auto *plugin = qobject_cast<IWPlugin *>(record.instance);
        if (!plugin)
            continue;
        const QMap<QDockWidget *, Qt::DockWidgetArea> docks = plugin->getDockWindows();
        if (docks.isEmpty())
            continue;
        QMenu *menu = m_menuWindows->addMenu(iconOf(plugin->getPluginIcon()), plugin->getPluginDisplayName());
        for (auto dock = docks.cbegin(); dock != docks.cend(); ++dock) {
            if (!dock.key())
                continue;
            dock.key()->setParent(this);
            menu->addAction(dock.key()->toggleViewAction());
            m_docks.insert(dock.key(), dock.value());
        }
    }
    // Docks show only while a user is logged in.
    for (QDockWidget *dock : m_docks.keys()) {
        removeDockWidget(dock);
        dock->hide();
    }
}

void Wivora::buildSettings()
{
    m_settings = new SettingsDialog(this);
    m_mainSettings = new uiMainSettings;
    m_settings->addPage(m_mainSettings, QIcon(QStringLiteral(":/Wivora/Resources/configtools.png")), tr("Main"));
    for (const PluginRecord &record : MainClass::instance()->pluginManager()->plugins()) {
        auto *plugin = qobject_cast<IWPlugin *>(record.instance);
        if (QWidget *page = plugin ? plugin->getSettingsWidget() : nullptr)
            m_settings->addPage(page, iconOf(record.icon), plugin->getPluginName());
    }
}

void Wivora::setSessionControlsEnabled(bool enabled)
{
    for (QMenu *menu : {m_menuStatus, m_menuContacts, m_menuWindows, m_menuTools, m_menuProfile})
        menu->setEnabled(enabled);
    for (QAction *action : {m_actionChangePassword, m_actionLogOut, m_actionDashboard})
        action->setEnabled(enabled);
    // The plug-ins' menus and tool bar actions work on the session's account:
    // without one they would run and store nothing.
    for (QMenu *menu : qAsConst(m_pluginMenus))
        menu->setEnabled(enabled);
    for (const QPointer<QAction> &action : qAsConst(m_pluginActions)) {
        if (action)
            action->setEnabled(enabled);
    }
    for (QDockWidget *dock : m_docks.keys())
        dock->setEnabled(enabled);
}

void Wivora::setMainIcon(int status)
{
    m_trayIcons.insert(MainIconKey, WGraphicsOperations::getStatusImage(status, TrayIconSize));
    if (m_trayFrame.isEmpty())
        m_trayFrame = m_trayIcons.firstKey();
}

void Wivora::slotTrayAnimationTimer()
{
    if (m_trayIcons.isEmpty())
        return;
    auto next = m_trayIcons.upperBound(m_trayFrame);
    if (next == m_trayIcons.end())
        next = m_trayIcons.begin();
    m_trayFrame = next.key();
    showTrayFrame();
}

void Wivora::showFirstUseKeyNotice()
{
    const QString fingerprint = WUtilities::takeKeyTrustedOnFirstUse();
    if (fingerprint.isEmpty())
        return;
    // Not modal: the session goes on, the user reads it when they like.
    auto *notice = new QMessageBox(QMessageBox::Warning, tr("The service's key"),
                                   tr("Wivora connected to this service for the first time and trusted its key as it "
                                      "came. If someone stood between you and the service, they could read what you "
                                      "send.\n\nKey fingerprint (SHA-256):\n%1\n\nCompare it with the one your "
                                      "service publishes. To check it at every start, set the machine setting "
                                      "\"service/serverkeysha256\" to it.")
                                       .arg(fingerprint),
                                   QMessageBox::Ok, this);
    notice->setObjectName(QStringLiteral("firstUseKeyNotice"));
    notice->setTextFormat(Qt::PlainText);
    notice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->setModal(false);
    notice->show();
}

void Wivora::showTrayFrame()
{
    const QImage frame = m_trayIcons.value(m_trayFrame);
    if (!frame.isNull())
        m_tray->setIcon(iconOf(m_unread > 0 ? withUnreadDot(frame) : frame));
}

void Wivora::slotCountUnread()
{
    const int unread = MainClass::instance()->contactsWithActivity();
    if (unread == m_unread)
        return;
    m_unread = unread;
    showAttentionMarks();
}

void Wivora::slotServiceReachable(bool reachable)
{
    if (reachable == m_serviceReachable)
        return;
    m_serviceReachable = reachable;
    const QSharedPointer<WivoraAccount> account = MainClass::instance()->getAccount();
    // Offline while the service is away: the user cannot be reached either.
    setMainIcon(reachable && account ? account->getStatus() : 0);
    showAttentionMarks();
}

void Wivora::showAttentionMarks()
{
    QString title = QStringLiteral("Wivora");
    if (m_unread > 0)
        title = tr("Wivora (%n unread)", nullptr, m_unread);
    setWindowTitle(title);
    QString tip = title;
    if (!m_serviceReachable)
        tip += QLatin1Char('\n') + tr("Not connected to the service: trying again");
    m_tray->setToolTip(tip);
    showTrayFrame();
}

void Wivora::slotUserStatusChanged(int status)
{
    setMainIcon(m_serviceReachable ? status : 0);
}

void Wivora::slotUserLoggedIn()
{
    slotSetStatusText(tr("connected"));
    setSessionControlsEnabled(true);
    for (auto dock = m_docks.cbegin(); dock != m_docks.cend(); ++dock) {
        addDockWidget(dock.value(), dock.key());
        dock.key()->show();
    }
    const QSharedPointer<WivoraAccount> account = MainClass::instance()->getAccount();
    const QByteArray state = account->settingsData->getSetting(WindowStateSetting);
    if (!state.isEmpty())
        restoreState(state, 0);
    m_serviceReachable = true;
    setMainIcon(account->getStatus());
    slotCountUnread();
    showAttentionMarks();
    m_stack->setCurrentWidget(m_content);
    m_contacts->slotUserLoggedIn();
    m_content->loadStartPage();
    m_content->showStartPage();
    m_updateCheck->start();
    showFirstUseKeyNotice();
    emit signalLoggedIn();
}

void Wivora::slotUserLoggedOut()
{
    // Logging out keeps events flowing; a second request meanwhile is the same one.
    if (m_loggingOut)
        return;
    m_loggingOut = true;
    slotSetStatusText(tr("loginning out"));
    emit signalLogginingOut();
    m_updateCheck->stop();
    const QSharedPointer<WivoraAccount> account = MainClass::instance()->getAccount();
    const QByteArray state = saveState(0);
    if (!state.isEmpty() && !account->getUserName().isEmpty()) {
        account->settingsData->setSetting(WindowStateSetting, state);
        WCommonOperations::saveAccount(false);
    }
    setMainIcon(0);
    MainClass::instance()->logout();
    setSessionControlsEnabled(false);
    for (QDockWidget *dock : m_docks.keys()) {
        removeDockWidget(dock);
        dock->hide();
    }
    m_stack->setCurrentWidget(m_login);
    m_login->clearPasswordUnlessRemembered();
    m_unread = 0;
    m_serviceReachable = true;
    showAttentionMarks();
    slotSetStatusText(tr("logged out"));
    m_loggingOut = false;
    emit signalLoggedOut();
    if (m_quitPending)
        runQuitSequence();
}

void Wivora::on_actionQuit_triggered()
{
    // A quit asked for while a login or a logout waits runs once that ends.
    m_quitPending = true;
    if (m_login->isLoginRunning() || m_loggingOut)
        return;
    runQuitSequence();
}

void Wivora::slotLoginEnded()
{
    if (m_quitPending && !m_loggingOut)
        runQuitSequence();
}

void Wivora::runQuitSequence()
{
    if (m_quitting)
        return;
    m_quitting = true;
    setCursor(Qt::WaitCursor);
    PSettings::SetValue(SizeKey, size());
    PSettings::SetValue(PositionKey, pos());
    PSettings::SetValue(FullScreenKey, isFullScreen());
    m_quitPending = false;
    // Nobody will answer a question about a stranger any more: its asker (a
    // pool task the application's end waits for) hears No now.
    MainClass::instance()->signalsDispatcher()->closeQuestions();
    slotUserLoggedOut();
    m_trayTimer.stop();
    m_tray->hide();
    m_notify->hide();
    // The links, the link manager and WorkingThread end with the session
    // controller when the application object goes.
    MainClass::instance()->pluginManager()->clearPlugins();
    unsetCursor();
    QCoreApplication::exit(0);
}

void Wivora::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    // Many Linux trays deliver a click as Trigger and never a double click.
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        ShowNormalWindow();
}

void Wivora::ShowNormalWindow()
{
    showNormal();
    raise();
    activateWindow();
}

void Wivora::ShowMaximizedWindow()
{
    showMaximized();
    activateWindow();
}

void Wivora::autoLogin()
{
    m_login->autoLogin();
    // The window starts minimised: a session that opened by itself is shown,
    // or the user would see nothing of it.
    if (MainClass::instance()->isLoggedIn())
        ShowNormalWindow();
}

void Wivora::slotpluginButtonClicked()
{
    const QString name = m_pluginButtons.value(qobject_cast<QAction *>(sender()));
    if (!name.isEmpty())
        m_content->slotPluginSelected(name);
}

void Wivora::slotUserActivated(const QString &user)
{
    m_content->showUserProfile(user);
    // The contact's first activity that is on chooses the page; none keeps it.
    QString activePage;
    const WDataStructure::Pointer activities = MainClass::instance()->getAccount()->contactsData->getSettingStructure(
        user + QStringLiteral("/activities"));
    if (activities) {
        const KvrConfig values = activities->values();
        for (int i = 0; i < values.size() && activePage.isEmpty(); ++i) {
            if (values.GetValue(i) == "1")
                activePage = values.GetKey(i);
        }
    }
    m_content->showUserPage(activePage);
    for (const PluginRecord &record : MainClass::instance()->pluginManager()->plugins()) {
        if (auto *plugin = qobject_cast<IWPlugin *>(record.instance))
            plugin->setUser(user);
    }
}

void Wivora::slotDisplayActivityNotification(const QString &text)
{
    if (!m_active || m_minimised)
        m_alert();
    if (m_active || m_minimised)
        return;
    QScreen *screen = windowHandle() ? windowHandle()->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // Clear of the tray icon, which sits in a corner of many desktops.
    const QRect tray = m_tray->isVisible() ? m_tray->geometry() : QRect();
    m_notify->move(WindowPlacement::notificationPosition(screen->availableGeometry(), m_notify->size(), tray));
    m_notify->setText(text);
    m_notify->show();
}

void Wivora::slotSetStatusText(const QString &text)
{
    m_statusLabel->setText(text);
}

void Wivora::slotAddProgressBar()
{
    if (m_progressBar)
        return;
    m_progressBar = new QProgressBar;
    m_progressBar->setObjectName(QStringLiteral("updateProgressBar"));
    m_progressBar->setMaximumHeight(15);
    m_progressBar->setFormat(QStringLiteral("%p% ") + tr("wivora update completed"));
    m_progressBar->setRange(0, 0);
    statusBar()->addWidget(m_progressBar, 0);
    m_progressBar->show();
}

void Wivora::slotRemoveProgressBar()
{
    delete m_progressBar;
    m_progressBar = nullptr;
}

void Wivora::slotUpdateProgress(qint64 received, qint64 total)
{
    if (!m_progressBar)
        return;
    // Without a known size the bar shows that something runs.
    if (total <= 0) {
        m_progressBar->setRange(0, 0);
        return;
    }
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(int(qBound<qint64>(0, received * 100 / total, 100)));
}

void Wivora::on_actionDashboard_triggered()
{
    m_content->showStartPage();
}

void Wivora::on_actionHelp_triggered()
{
    ExternalLinks::open(QUrl(ServiceSettings::publicSite() + QStringLiteral("/pages/help/help.aspx")));
}

void Wivora::on_actionInform_friends_about_Wivora_triggered()
{
    ExternalLinks::open(QUrl(ServiceSettings::publicSite() + QStringLiteral("/pages/invitefriends.aspx")));
}

void Wivora::on_actionAbout_triggered()
{
    QMessageBox::about(this, tr("Wivora"),
                       QStringLiteral("Wivora\nversion 1.0\nMinor ver.%1").arg(ClientVersion::Build));
}

void Wivora::on_actionChange_Password_triggered()
{
    bool confirmed = false;
    const QString password = QInputDialog::getText(this, tr("Change password"), tr("New password:"),
                                                   QLineEdit::Password, QString(), &confirmed);
    if (!confirmed || password.isEmpty())
        return;
    if (WCommonOperations::changePassword(password))
        QMessageBox::information(this, tr("New password"), tr("Your password has been changed"), QMessageBox::Ok);
    else
        QMessageBox::warning(this, tr("New password"), tr("Your password could not be changed"), QMessageBox::Ok);
}

void Wivora::on_actionEdit_profile_triggered()
{
    uiPersonalize dialog(this);
    dialog.exec();
}

void Wivora::on_actionAdd_Contact_triggered()
{
    const BusyTriggers busy{sender()};
    uiAddUserWindow dialog(this);
    dialog.exec();
}

void Wivora::on_actionSettings_triggered()
{
    m_mainSettings->loadSettings();
    for (const PluginRecord &record : MainClass::instance()->pluginManager()->plugins()) {
        auto *plugin = qobject_cast<IWPlugin *>(record.instance);
        if (plugin && plugin->getSettingsWidget())
            plugin->initSettingsWidget();
    }
    m_settings->exec();
}

void Wivora::on_actionManage_plugins_triggered()
{
    // Filling the list waits on the server with events flowing.
    const BusyTriggers busy{sender()};
    uiManagePlugins dialog(this);
    connect(this, &Wivora::signalLogginingOut, &dialog, &uiManagePlugins::cancelDownloads);
    dialog.fillPluginList();
    dialog.exec();
}

void Wivora::on_actionLog_out_triggered()
{
    slotUserLoggedOut();
}

bool Wivora::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == this) {
        switch (event->type()) {
        case QEvent::WindowActivate:
            m_active = true;
            m_minimised = false;
            break;
        case QEvent::WindowDeactivate:
            m_active = false;
            m_minimised = false;
            break;
        case QEvent::WindowStateChange:
            if (windowState() & Qt::WindowMinimized) {
                m_active = false;
                m_minimised = true;
            }
            break;
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void Wivora::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QRadialGradient light(QPointF(0, 0), height() - 1, QPointF(0, height() / 7));
    light.setColorAt(0, QColor(255, 255, 255, 250));
    light.setColorAt(1, QColor(255, 255, 255, 50));
    painter.fillRect(QRect(0, 0, width(), height()), light);
    painter.end();
    QMainWindow::paintEvent(event);
}

void Wivora::closeEvent(QCloseEvent *event)
{
    // Closing never ends the program: with or without a tray the window goes
    // to the task bar, so there is always a way back.
    showMinimized();
    event->ignore();
}
