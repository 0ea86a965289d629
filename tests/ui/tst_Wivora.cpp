// The main window against a real wivora-server, with the window-probe plug-in
// loaded from the "plugins" folder: its state before and after login, the
// plug-in's places, docks kept across sessions, notices, the wake-up, and the
// menu actions. One window serves every case, as in the program.

#include "QtTestSuite.h"
#include "ContactList.h"
#include "MainClass.h"
#include "MainContainer.h"
#include "ModalAnswer.h"
#include "NotifyWindow.h"
#include "RememberedPassword.h"
#include "UrlCatcher.h"
#include "WCommonOperations.h"
#include "WakeUpServer.h"
#include "WindowFixture.h"
#include "Wivora.h"
#include "uiContacts.h"
#include "uiUserProfileView.h"
#include "uiLoginWidget.h"

#include <IWPlugin.h>
#include <PSettings.h>
#include <WUtilities.h>
#include <WivoraAccount.h>

#include <QCheckBox>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolBar>
#include <QWebFrame>
#include <QWebView>

#include <functional>
#include <memory>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
const QString Carol = QStringLiteral("carol");
const QString WakeUpName = QStringLiteral("wivora-window-test");

QStringList texts(const QList<QAction *> &actions)
{
    QStringList result;
    for (const QAction *action : actions)
        result << (action->isSeparator() ? QStringLiteral("|") : action->text());
    return result;
}

} // namespace

class tst_Wivora : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice, Bob, Carol}, {{Alice, Bob}}), qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        // Nothing to log in with at the start.
        PSettings::SetValue(QStringLiteral("settings/rememberMe"), false);
        QVERIFY(m_wakeUp.listen(WakeUpName));
        m_window.reset(new Wivora(&m_wakeUp));
        m_window->setAlertHandler([this] { ++m_alerts; });
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        const QList<PluginRecord> plugins = MainClass::instance()->pluginManager()->plugins();
        QCOMPARE(plugins.size(), 1);
        m_probe = plugins.first().instance;
        QVERIFY(qobject_cast<IWPlugin *>(m_probe));
    }
    void cleanup()
    {
        if (m_window->isLoggedInPage())
            logOut();
    }
    void cleanupTestCase() { m_window.reset(); }

    void startsLoggedOut();
    void firstStartIsCentred();
    void pluginPlaces();
    void pluginListsAskedOnce();
    void pageButtons();
    void loginAndLogoutTransitions();
    void dockPlaceKeptAcrossSessions();
    void contactActivationReachesPlugins();
    void statusActions_data();
    void statusActions();
    void closingOnlyMinimises();
    void notification_data();
    void notification();
    void passwordClearedAfterLogout_data();
    void passwordClearedAfterLogout();
    void shownAfterAutomaticLogin();
    void unreadMarks();
    void firstUseKeyNotice();
    void wakeUpBringsWindowUp();
    void aboutText();
    void sitePages_data();
    void sitePages();
    void changePassword_data();
    void changePassword();
    void updateProgressBar_data();
    void updateProgressBar();
    void serviceOutageShown();
    // Last: it ends with the quit sequence.
    void quitDuringLoginWaitsForIt();

private:
    template <typename T> T *child(const QString &name) const
    {
        T *found = m_window->findChild<T *>(name);
        if (!found)
            qWarning() << "no child" << name;
        return found;
    }
    QAction *action(const QString &name) const { return child<QAction>(name); }
    QDockWidget *dock(const QString &name) const { return child<QDockWidget>(name); }
    bool logIn(const QString &user)
    {
        PSettings::SetValue(QStringLiteral("settings/rememberMe"), true);
        PSettings::SetValue(QStringLiteral("settings/username"), user);
        RememberedPassword::store(user, WindowFixture::passwordOf(user));
        QSignalSpy loggedIn(m_window.get(), &Wivora::signalLoggedIn);
        m_window->autoLogin();
        PSettings::SetValue(QStringLiteral("settings/rememberMe"), false);
        return loggedIn.count() == 1;
    }
    void logOut() { action(QStringLiteral("actionLog_out"))->trigger(); }
    QString statusText() const { return child<QLabel>(QStringLiteral("statusLabel"))->text(); }
    void checkSessionControls(bool enabled);

    WindowFixture m_fixture;
    WakeUpServer m_wakeUp;
    std::unique_ptr<Wivora> m_window;
    QObject *m_probe = nullptr;
    int m_alerts = 0;
};

void tst_Wivora::checkSessionControls(bool enabled)
{
    for (const QString &menu : {QStringLiteral("menuStatus"), QStringLiteral("menuContacts"),
                                QStringLiteral("menuWindows"), QStringLiteral("menuTools"), QStringLiteral("menuProfile")})
        QVERIFY2(child<QMenu>(menu)->isEnabled() == enabled, qPrintable(menu));
    for (const QString &name :
         {QStringLiteral("actionChange_Password"), QStringLiteral("actionLog_out"), QStringLiteral("actionDashboard")})
        QVERIFY2(action(name)->isEnabled() == enabled, qPrintable(name));
    for (QDockWidget *dock : m_window->docks()) {
        QCOMPARE(dock->isEnabled(), enabled);
        QCOMPARE(dock->isVisible(), enabled);
    }
    QCOMPARE(m_window->isLoggedInPage(), enabled);
    // The plug-in's menu and its tool bar action need the session too: a
    // click on them while logged out runs nothing.
    QMenu *probeMenu = m_window->menuBar()->actions().at(1)->menu();
    QCOMPARE(probeMenu->title(), QStringLiteral("&Probe plug-in"));
    QCOMPARE(probeMenu->isEnabled(), enabled);
    auto *bar = child<QToolBar>(QStringLiteral("toolbar"));
    QAction *quick = nullptr;
    for (QAction *candidate : bar->actions()) {
        if (candidate->text() == QLatin1String("Probe quick"))
            quick = candidate;
    }
    QVERIFY(quick);
    QCOMPARE(quick->isEnabled(), enabled);
    if (!enabled) {
        QSignalSpy triggered(quick, &QAction::triggered);
        QTest::mouseClick(bar->widgetForAction(quick), Qt::LeftButton);
        QCOMPARE(triggered.count(), 0);
    }
}

void tst_Wivora::startsLoggedOut()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Wivora"));
    QCOMPARE(statusText(), QStringLiteral("Logged out"));
    checkSessionControls(false);
    QCOMPARE(m_window->trayIcon()->toolTip(), QStringLiteral("Wivora"));
    QCOMPARE(texts(m_window->trayIcon()->contextMenu()->actions()),
             (QStringList{QStringLiteral("&Status"), QStringLiteral("Mi&nimize"), QStringLiteral("Ma&ximize"),
                          QStringLiteral("&Restore"), QStringLiteral("|"), QStringLiteral("&Quit")}));
    QCOMPARE(texts(child<QMenu>(QStringLiteral("menuWivora"))->actions()),
             (QStringList{QStringLiteral("&Status"), QStringLiteral("&Profile"), QStringLiteral("&Contacts"),
                          QStringLiteral("|"), QStringLiteral("Change Pass&word"), QStringLiteral("&Log out"),
                          QStringLiteral("|"), QStringLiteral("&Quit")}));
    QVERIFY(!m_window->notifyWindow()->isVisible());
    // Every entry of Tools does something.
    QCOMPARE(texts(child<QMenu>(QStringLiteral("menuTools"))->actions()),
             (QStringList{QStringLiteral("&Plugins"), QStringLiteral("|"), QStringLiteral("&Settings")}));
}

void tst_Wivora::firstStartIsCentred()
{
    // Nothing was stored before this window was made.
    QCOMPARE(m_window->size(), QSize(758, 555));
    const QRect desktop = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(m_window->pos(), QPoint(desktop.width() / 2 - 758 / 2, desktop.height() / 2 - 555 / 2));
}

void tst_Wivora::pluginPlaces()
{
    QCOMPARE(texts(child<QToolBar>(QStringLiteral("toolbar"))->actions()),
             (QStringList{QStringLiteral("Dashboard"), QStringLiteral("|"), QStringLiteral("Probe"),
                          QStringLiteral("|"), QStringLiteral("Probe quick"), QStringLiteral("|")}));
    QCOMPARE(texts(m_window->menuBar()->actions()),
             (QStringList{QStringLiteral("&Wivora"), QStringLiteral("&Probe plug-in"), QStringLiteral("&Tools"),
                          QStringLiteral("W&indows"), QStringLiteral("&Help")}));
    QMenu *probeMenu = m_window->menuBar()->actions().at(1)->menu();
    QCOMPARE(texts(probeMenu->actions()),
             (QStringList{QStringLiteral("Probe action"), QStringLiteral("|"), QStringLiteral("Probe quick")}));
    const QList<QAction *> windows = child<QMenu>(QStringLiteral("menuWindows"))->actions();
    QCOMPARE(texts(windows), (QStringList{QStringLiteral("&Contacts"), QStringLiteral("&Probe plug-in")}));
    QCOMPARE(texts(windows.at(1)->menu()->actions()), QStringList{QStringLiteral("Probe dock")});
    QCOMPARE(dock(QStringLiteral("contacts"))->windowTitle(), QStringLiteral("Contacts"));
}

void tst_Wivora::pluginListsAskedOnce()
{
    const QVariantMap calls = m_probe->property("calls").toMap();
    for (const QString &operation : {QStringLiteral("getMainPluginWidget"), QStringLiteral("getDockWindows"),
                                     QStringLiteral("getPluginMenu"), QStringLiteral("getQuickMenuActions")})
        QVERIFY2(calls.value(operation).toInt() == 1, qPrintable(operation));
    // The probe builds a new dock per call: only the one placed exists.
    QCOMPARE(m_window->findChildren<QDockWidget *>().size(), 2);
}

void tst_Wivora::pageButtons()
{
    QVERIFY(logIn(Alice));
    MainContainer *content = m_window->mainContainer();
    QAction *probeButton = nullptr;
    for (QAction *button : child<QToolBar>(QStringLiteral("toolbar"))->actions()) {
        if (button->text() == QLatin1String("Probe"))
            probeButton = button;
    }
    QVERIFY(probeButton);
    probeButton->trigger();
    QCOMPARE(content->currentPage()->objectName(), QStringLiteral("probePage"));
    action(QStringLiteral("actionDashboard"))->trigger();
    QCOMPARE(content->currentPage(), static_cast<QWidget *>(content->startPage()));
    content->slotPluginSelected(QStringLiteral("nobody"));
    QCOMPARE(content->currentPage(), static_cast<QWidget *>(content->startPage()));
}

void tst_Wivora::loginAndLogoutTransitions()
{
    QWebView *startPage = m_window->mainContainer()->startPage();
    QSignalSpy pageLoaded(startPage, &QWebView::loadFinished);
    QVERIFY(logIn(Alice));
    QCOMPARE(statusText(), QStringLiteral("connected"));
    checkSessionControls(true);
    QCOMPARE(m_window->dockWidgetArea(dock(QStringLiteral("contacts"))), Qt::LeftDockWidgetArea);
    QCOMPARE(m_window->dockWidgetArea(dock(QStringLiteral("probe:::dock"))), Qt::BottomDockWidgetArea);
    // The contact list holds alice's contact.
    ContactList *contacts = m_window->contactsPanel()->contactList();
    QTRY_COMPARE(contacts->topLevelItemCount(), 1);
    QCOMPARE(contacts->topLevelItem(0)->data(0, ContactList::UserRole).toString(), Bob);
    QVERIFY(pageLoaded.wait(30000) || pageLoaded.count() > 0);
    QCOMPARE(pageLoaded.last().first().toBool(), true);
    QCOMPARE(startPage->url(), QUrl(m_fixture.site() + QStringLiteral("/pages/program/startpage.aspx")));
    QVERIFY(startPage->page()->mainFrame()->toPlainText().contains(QStringLiteral("Welcome")));

    QSignalSpy loggedOut(m_window.get(), &Wivora::signalLoggedOut);
    logOut();
    QCOMPARE(loggedOut.count(), 1);
    QCOMPARE(statusText(), QStringLiteral("logged out"));
    checkSessionControls(false);
    QVERIFY(!MainClass::instance()->isLoggedIn());
}

void tst_Wivora::dockPlaceKeptAcrossSessions()
{
    QVERIFY(logIn(Alice));
    // Saved on the server once from here: the session then takes the local
    // file, where logging out keeps the window's state, over the server's copy.
    action(QStringLiteral("actionAvailable"))->trigger();
    QDockWidget *contacts = dock(QStringLiteral("contacts"));
    m_window->addDockWidget(Qt::RightDockWidgetArea, contacts);
    logOut();
    QVERIFY(logIn(Alice));
    QCOMPARE(m_window->dockWidgetArea(contacts), Qt::RightDockWidgetArea);
    m_window->addDockWidget(Qt::LeftDockWidgetArea, contacts);
}

void tst_Wivora::contactActivationReachesPlugins()
{
    QVERIFY(logIn(Alice));
    ContactList *contacts = m_window->contactsPanel()->contactList();
    QTRY_COMPARE(contacts->topLevelItemCount(), 1);
    // No activity on: the profile shows its first page.
    emit contacts->itemActivated(contacts->topLevelItem(0), 0);
    QCOMPARE(m_probe->property("users").toStringList().value(0), Bob);
    uiUserProfileView *profile = m_window->mainContainer()->profileView();
    QCOMPARE(m_window->mainContainer()->currentPage(), static_cast<QWidget *>(profile));
    QCOMPARE(profile->shownUser(), Bob);
    QCOMPARE(profile->currentPage()->objectName(), QStringLiteral("probe-chat"));
    // The first activity that is on chooses the page; none on keeps the page.
    const auto contactsTree = MainClass::instance()->getAccount()->contactsData;
    contactsTree->setSetting(QStringLiteral("bob/activities/chat"), "0");
    contactsTree->setSetting(QStringLiteral("bob/activities/files"), "1");
    emit contacts->itemActivated(contacts->topLevelItem(0), 0);
    QCOMPARE(profile->currentPage()->objectName(), QStringLiteral("probe-files"));
    contactsTree->setSetting(QStringLiteral("bob/activities/files"), "0");
    profile->selectPage(QStringLiteral("chat"));
    emit contacts->itemActivated(contacts->topLevelItem(0), 0);
    QCOMPARE(profile->currentPage()->objectName(), QStringLiteral("probe-chat"));
    QCOMPARE(m_probe->property("users").toStringList().size(), 3);
}

void tst_Wivora::statusActions_data()
{
    QTest::addColumn<QString>("actionName");
    QTest::addColumn<int>("status");
    QTest::newRow("away") << QStringLiteral("actionAway") << 2;
    QTest::newRow("do not disturb") << QStringLiteral("actionDo_not_disturb") << 3;
    QTest::newRow("invisible") << QStringLiteral("actionInvisible") << 0;
    QTest::newRow("available") << QStringLiteral("actionAvailable") << 1;
}

void tst_Wivora::statusActions()
{
    QFETCH(QString, actionName);
    QFETCH(int, status);
    QVERIFY(logIn(Alice));
    action(actionName)->trigger();
    QCOMPARE(MainClass::instance()->getAccount()->getStatus(), status);
}

void tst_Wivora::closingOnlyMinimises()
{
    m_window->showNormal();
    QVERIFY(!m_window->close());
    QVERIFY(m_window->isMinimized());
    m_window->showNormal();
    QVERIFY(!m_window->isMinimized());
}

void tst_Wivora::notification_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("alerts");
    QTest::addColumn<bool>("popup");

    QTest::newRow("in front: nothing") << QStringLiteral("active") << 0 << false;
    QTest::newRow("minimised: alert only") << QStringLiteral("minimised") << 1 << false;
    QTest::newRow("behind other windows: alert and pop-up") << QStringLiteral("behind") << 1 << true;
}

void tst_Wivora::notification()
{
    QFETCH(QString, state);
    QFETCH(int, alerts);
    QFETCH(bool, popup);
    m_window->showNormal();
    m_window->notifyWindow()->hide();
    // Offscreen has no window manager: the events it would send.
    if (state == QLatin1String("active")) {
        QEvent activate(QEvent::WindowActivate);
        QApplication::sendEvent(m_window.get(), &activate);
    } else if (state == QLatin1String("minimised")) {
        m_window->showMinimized();
        QTRY_VERIFY(m_window->isMinimized());
    } else {
        QEvent deactivate(QEvent::WindowDeactivate);
        QApplication::sendEvent(m_window.get(), &deactivate);
    }
    m_alerts = 0;
    const QString text = QStringLiteral("New message from <b>bob</b>");
    emit MainClass::instance()->signalsDispatcher()->signalDisplayActivityNotification(text);
    QCOMPARE(m_alerts, alerts);
    NotifyWindow *notice = m_window->notifyWindow();
    QCOMPARE(notice->isVisible(), popup);
    if (popup) {
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(notice->pos(), QPoint(available.right() + 1 - 215, available.bottom() + 1 - 115));
        QCOMPARE(notice->text(), text);
        // A pop-up of its own: no frame or title bar, above other windows.
        QVERIFY(notice->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(notice->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(notice->windowFlags() & Qt::Tool);
        QVERIFY(notice->isWindow());
        QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
        QVERIFY(notice->grab().save(QStringLiteral(SCREENSHOT_FOLDER "/notice-new-message.png")));
        notice->hide();
    }
    m_window->showNormal();
}

// After a logout the next person at the machine cannot log in with the
// password that was typed, unless the user asked to be remembered.
void tst_Wivora::passwordClearedAfterLogout_data()
{
    QTest::addColumn<bool>("remember");
    QTest::newRow("not remembered: cleared") << false;
    QTest::newRow("remembered: kept") << true;
}

void tst_Wivora::passwordClearedAfterLogout()
{
    QFETCH(bool, remember);
    m_window->showNormal();
    uiLoginWidget *form = m_window->loginWidget();
    auto *user = form->findChild<QLineEdit *>(QStringLiteral("lineEdit"));
    auto *password = form->findChild<QLineEdit *>(QStringLiteral("lineEdit_2"));
    auto *rememberBox = form->findChild<QCheckBox *>(QStringLiteral("checkBox"));
    auto *loginButton = form->findChild<QPushButton *>(QStringLiteral("pushButton"));
    user->clear();
    password->clear();
    QTest::keyClicks(user, Alice);
    QTest::keyClicks(password, WindowFixture::passwordOf(Alice));
    if (rememberBox->isChecked() != remember)
        QTest::mouseClick(rememberBox, Qt::LeftButton);
    QCOMPARE(rememberBox->isChecked(), remember);
    QSignalSpy loggedIn(m_window.get(), &Wivora::signalLoggedIn);
    QTest::mouseClick(loginButton, Qt::LeftButton);
    QCOMPARE(loggedIn.count(), 1);

    logOut();
    QCOMPARE(password->text().isEmpty(), !remember);
    QCOMPARE(RememberedPassword::read(Alice).isEmpty(), !remember);
    QTest::mouseClick(loginButton, Qt::LeftButton);
    QCOMPARE(MainClass::instance()->isLoggedIn(), remember);

    if (rememberBox->isChecked())
        QTest::mouseClick(rememberBox, Qt::LeftButton);
    RememberedPassword::erase();
}

// The program starts minimised; a session that opened by itself shows the window.
void tst_Wivora::shownAfterAutomaticLogin()
{
    m_window->showMinimized();
    QTRY_VERIFY(m_window->isMinimized());
    QVERIFY(logIn(Alice));
    QTRY_VERIFY(!m_window->isMinimized());
    QVERIFY(m_window->isVisible());
}

// A contact with something new (a plug-in turned an activity on, as the
// messaging one does for an unread message) shows in the title and the tray.
void tst_Wivora::unreadMarks()
{
    QVERIFY(logIn(Alice));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Wivora"));
    QSystemTrayIcon *tray = m_window->trayIcon();
    const auto dotIsRed = [tray] {
        const QImage icon = tray->icon().pixmap(20, 20).toImage();
        const QColor dot = icon.pixelColor(icon.width() - 5, 4);
        return dot.red() > 180 && dot.green() < 90 && dot.blue() < 90;
    };
    QVERIFY(!dotIsRed());

    MainClass::instance()->setUserActivity(Bob, QStringLiteral("probe"), true);
    QTRY_COMPARE(m_window->windowTitle(), QStringLiteral("Wivora (1 unread)"));
    QCOMPARE(tray->toolTip(), QStringLiteral("Wivora (1 unread)"));
    QVERIFY(dotIsRed());

    MainClass::instance()->setUserActivity(Bob, QStringLiteral("probe"), false);
    QTRY_COMPARE(m_window->windowTitle(), QStringLiteral("Wivora"));
    QCOMPARE(tray->toolTip(), QStringLiteral("Wivora"));
    QVERIFY(!dotIsRed());

    // Logging out takes the marks away with the session.
    MainClass::instance()->setUserActivity(Bob, QStringLiteral("probe"), true);
    QTRY_COMPARE(m_window->windowTitle(), QStringLiteral("Wivora (1 unread)"));
    logOut();
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Wivora"));
    QVERIFY(logIn(Alice));
    MainClass::instance()->setUserActivity(Bob, QStringLiteral("probe"), false);
    QTRY_COMPARE(m_window->windowTitle(), QStringLiteral("Wivora"));
}

// A service key taken on trust the first time is shown to the user with its
// fingerprint, once.
void tst_Wivora::firstUseKeyNotice()
{
    // No pin: the key is fetched from the account site and taken on trust.
    const QString keyFileKey = QStringLiteral("service/serverkeyfile");
    const QString keyKey = QStringLiteral("service/serverkey");
    const QVariant keyFile = PSettings::GetValue(keyFileKey);
    const QVariant keptKey = PSettings::GetValue(keyKey);
    QFile pem(keyFile.toString());
    QVERIFY(pem.open(QIODevice::ReadOnly));
    const QString key = QString::fromUtf8(pem.readAll()).trimmed();
    PSettings::RemoveValue(keyFileKey);
    PSettings::RemoveValue(keyKey);
    WUtilities::takeKeyTrustedOnFirstUse(); // nothing left over from before
    const bool loggedIn = logIn(Alice);
    auto *notice = m_window->findChild<QMessageBox *>(QStringLiteral("firstUseKeyNotice"));
    const QString text = notice ? notice->text() : QString();
    const bool modal = notice && notice->isModal();
    const bool visible = notice && notice->isVisible();
    if (notice)
        QTest::mouseClick(notice->button(QMessageBox::Ok), Qt::LeftButton);
    // The key is kept now: no notice again.
    logOut();
    const bool loggedInAgain = logIn(Alice);
    const auto *again = m_window->findChild<QMessageBox *>(QStringLiteral("firstUseKeyNotice"));
    const bool noticeAgain = again && again->isVisible(); // the first one may await its deletion
    PSettings::SetValue(keyFileKey, keyFile);
    keptKey.isNull() ? PSettings::RemoveValue(keyKey) : PSettings::SetValue(keyKey, keptKey);

    QVERIFY(loggedIn);
    QVERIFY(notice);
    QVERIFY(visible);
    QVERIFY(!modal);
    QVERIFY2(text.contains(WUtilities::publicKeyFingerprint(key)), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("service/serverkeysha256")));
    QVERIFY(loggedInAgain);
    QVERIFY(!noticeAgain);
}

void tst_Wivora::wakeUpBringsWindowUp()
{
    m_window->showMinimized();
    QTRY_VERIFY(m_window->isMinimized());
    QLocalSocket starter;
    starter.connectToServer(WakeUpName);
    QVERIFY(starter.waitForConnected(5000));
    starter.write("wivorawakeup");
    QTRY_COMPARE(starter.bytesAvailable(), qint64(9));
    QCOMPARE(starter.readAll(), QByteArray("isrunning"));
    QVERIFY(!m_window->isMinimized());
    QVERIFY(m_window->isVisible());
}

void tst_Wivora::aboutText()
{
    QString shown;
    QObject scope;
    answerModal<QMessageBox>(&scope, [&shown](QMessageBox *box) {
        shown = box->windowTitle() + QLatin1Char('|') + box->text();
        box->close();
    });
    action(QStringLiteral("actionAbout"))->trigger();
    QCOMPARE(shown, QStringLiteral("Wivora|Wivora\nversion 1.0\nMinor ver.1021"));
}

void tst_Wivora::sitePages_data()
{
    QTest::addColumn<QString>("actionName");
    QTest::addColumn<QString>("path");
    QTest::newRow("help") << QStringLiteral("actionHelp") << QStringLiteral("/pages/help/help.aspx");
    QTest::newRow("invite") << QStringLiteral("actionInform_friends_about_Wivora")
                            << QStringLiteral("/pages/invitefriends.aspx");
}

void tst_Wivora::sitePages()
{
    QFETCH(QString, actionName);
    QFETCH(QString, path);
    UrlCatcher catcher;
    action(actionName)->trigger();
    QCOMPARE(catcher.opened, QList<QUrl>{QUrl(m_fixture.site() + path)});
}

void tst_Wivora::changePassword_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("changed");
    QTest::newRow("cancelled") << false << QStringLiteral("carol-new") << false;
    QTest::newRow("empty") << true << QString() << false;
    QTest::newRow("new password") << true << QStringLiteral("carol-new") << true;
}

void tst_Wivora::changePassword()
{
    QFETCH(bool, confirm);
    QFETCH(QString, typed);
    QFETCH(bool, changed);
    QVERIFY(logIn(Carol));
    QString message;
    QObject scope;
    answerModal<QInputDialog>(&scope, [&](QInputDialog *input) {
        input->setTextValue(typed);
        if (!confirm) {
            input->reject();
            return;
        }
        // The confirmation box follows the accepted entry.
        answerModal<QMessageBox>(&scope, [&message](QMessageBox *box) {
            message = box->text();
            box->close();
        });
        input->accept();
    });
    action(QStringLiteral("actionChange_Password"))->trigger();
    QCOMPARE(message, changed ? QStringLiteral("Your password has been changed") : QString());
    logOut();
    const QString password = changed ? typed : WindowFixture::passwordOf(Carol);
    QVERIFY(MainClass::instance()->login(Carol, password));
    // Back to the password the other rows expect.
    if (changed)
        QVERIFY(WCommonOperations::changePassword(WindowFixture::passwordOf(Carol)));
    MainClass::instance()->logout();
}

// A lost service shows as offline in the tray and the own presence, and
// both come back once the session is logged in again.
void tst_Wivora::serviceOutageShown()
{
    QVERIFY(logIn(Alice));
    QSystemTrayIcon *tray = m_window->trayIcon();
    auto *ownStatus = m_window->contactsPanel()->findChild<QLabel *>(QStringLiteral("label_4"));
    QVERIFY(ownStatus);
    const QString offline = QStringLiteral("Not connected to the service: trying again");
    QVERIFY(!tray->toolTip().contains(offline));
    QVERIFY(ownStatus->toolTip().isEmpty());

    QVERIFY(m_fixture.sessions.server.stop());
    QTRY_VERIFY_WITH_TIMEOUT(tray->toolTip().contains(offline), 60000);
    QCOMPARE(ownStatus->toolTip(), offline);
    QVERIFY(m_fixture.sessions.server.start());
    QTRY_VERIFY_WITH_TIMEOUT(!tray->toolTip().contains(offline), 120000);
    QVERIFY(ownStatus->toolTip().isEmpty());
    QVERIFY(MainClass::instance()->isLoggedIn());
}

void tst_Wivora::quitDuringLoginWaitsForIt()
{
    PSettings::RemoveValue(QStringLiteral("mainwindow/size"));
    QStringList events;
    connect(m_window.get(), &Wivora::signalLoggedIn, this, [&events] { events << QStringLiteral("logged in"); });
    connect(m_window.get(), &Wivora::signalLoggedOut, this, [&events] { events << QStringLiteral("logged out"); });
    // Fires at the login's first wait that keeps events flowing.
    QTimer::singleShot(0, m_window.get(), [this, &events] {
        events << (m_window->loginWidget()->isLoginRunning() ? QStringLiteral("quit during login")
                                                             : QStringLiteral("quit"));
        m_window->on_actionQuit_triggered();
    });
    QVERIFY(logIn(Alice));
    QCOMPARE(events, (QStringList{QStringLiteral("quit during login"), QStringLiteral("logged in"),
                                  QStringLiteral("logged out")}));
    QVERIFY(!MainClass::instance()->isLoggedIn());
    QCOMPARE(PSettings::GetValue(QStringLiteral("mainwindow/size")).toSize(), m_window->size());
}

void tst_Wivora::updateProgressBar_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::newRow("a quarter") << qint64(50) << qint64(200) << 100 << 25;
    QTest::newRow("done") << qint64(200) << qint64(200) << 100 << 100;
    // Without a known size: a busy bar, never a division by zero.
    QTest::newRow("size unknown") << qint64(50) << qint64(-1) << 0 << -1;
    QTest::newRow("size zero") << qint64(0) << qint64(0) << 0 << -1;
}

void tst_Wivora::updateProgressBar()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, maximum);
    QFETCH(int, value);
    m_window->slotAddProgressBar();
    auto *bar = child<QProgressBar>(QStringLiteral("updateProgressBar"));
    QVERIFY(bar);
    QCOMPARE(bar->format(), QStringLiteral("%p% wivora update completed"));
    m_window->slotUpdateProgress(received, total);
    QCOMPARE(bar->maximum(), maximum);
    if (maximum > 0)
        QCOMPARE(bar->value(), value);
    m_window->slotRemoveProgressBar();
    QVERIFY(!m_window->findChild<QProgressBar *>(QStringLiteral("updateProgressBar")));
}

WIVORA_TEST_MAIN(tst_Wivora)
#include "tst_Wivora.moc"
