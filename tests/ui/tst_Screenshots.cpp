// Pictures of the program's windows as a user sees them, styled as the
// program styles them, written to the build folder (tests/ui/screenshots)
// for a person to look at: logged out, logging in, logged in with the probe
// plug-in's button, page, menu and dock, the start page, a notice, the
// contacts panel with every status and both arrows, a contact's profile, and
// the settings, add-contact and personal-data dialogs.

#include "QtTestSuite.h"
#include "MainClass.h"
#include "MainContainer.h"
#include "NotifyWindow.h"
#include "QWivoraStyle.h"
#include "ContactList.h"
#include "SettingsDialog.h"
#include "uiAddUserWindow.h"
#include "uiContacts.h"
#include "uiPersonalize.h"
#include "uiManagePlugins.h"
#include "WindowFixture.h"
#include "Wivora.h"

#include <PSettings.h>
#include <TcpConnection.h>
#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QDockWidget>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QWebView>

#include <memory>

namespace {

const QString Alice = QStringLiteral("alice");

bool save(QWidget *widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    const QImage image = widget->grab().toImage();
    return !image.isNull() && image.save(QStringLiteral(SCREENSHOT_FOLDER "/") + name + QStringLiteral(".png"));
}

} // namespace

class tst_Screenshots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice, QStringLiteral("bob"), QStringLiteral("carol"), QStringLiteral("dave"),
                                  QStringLiteral("erin"), QStringLiteral("alina")},
                                 {{Alice, QStringLiteral("bob")}, {Alice, QStringLiteral("carol")},
                                  {Alice, QStringLiteral("dave")}, {Alice, QStringLiteral("erin")}}),
                 qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        const QList<QStringList> vcards = {{QStringLiteral("bob"), QStringLiteral("Bob Builder"), QStringLiteral("Gdańsk"), QStringLiteral("PL")},
                                           {QStringLiteral("carol"), QStringLiteral("Carol Whitfield-Montgomery"), QStringLiteral("Leeds"), QStringLiteral("GB")},
                                           {QStringLiteral("dave"), QString(), QStringLiteral("Lyon"), QStringLiteral("FR")},
                                           {QStringLiteral("alina"), QStringLiteral("Alina Nowak"), QStringLiteral("Poznań"), QStringLiteral("PL")}};
        for (const QStringList &card : vcards) {
            WDataStructure vcard;
            vcard.sv(QStringLiteral("fullName"), card.at(1));
            vcard.sv(QStringLiteral("city"), card.at(2));
            vcard.sv(QStringLiteral("country"), card.at(3));
            QVERIFY(WServerCommands::updateVCard(vcard.SerializeStructure(), m_fixture.sessions.loggedInLink(card.at(0))));
        }
        PSettings::SetValue(QStringLiteral("settings/rememberMe"), false);
        PSettings::SetValue(QStringLiteral("settings/username"), Alice);
        QFile styleSheet(QStringLiteral(":/wivorastyle/Resources/wivorastyle.stt"));
        QVERIFY(styleSheet.open(QIODevice::ReadOnly));
        qApp->setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
        qApp->setStyle(new QWivoraStyle);
        m_window.reset(new Wivora);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    void cleanupTestCase() { m_window.reset(); }

    void loggedOut() { QVERIFY(save(m_window.get(), QStringLiteral("1-logged-out"))); }

    void loggingIn()
    {
        auto *busy = m_window->findChild<QWidget *>(QStringLiteral("frame_2"));
        bool saved = false;
        // Taken from inside the login, while the busy frame shows.
        QTimer during;
        connect(&during, &QTimer::timeout, this, [&] {
            if (!saved && busy->isVisible())
                saved = save(m_window.get(), QStringLiteral("2-logging-in"));
        });
        during.start(1);
        PSettings::SetValue(QStringLiteral("settings/rememberMe"), true);
        PSettings::SetValue(QStringLiteral("settings/password"), WindowFixture::passwordOf(Alice));
        QSignalSpy pageLoaded(m_window->mainContainer()->startPage(), &QWebView::loadFinished);
        m_window->autoLogin();
        during.stop();
        QVERIFY(saved);
        QVERIFY(m_window->isLoggedInPage());
        QVERIFY(pageLoaded.count() > 0 || pageLoaded.wait(30000));
    }

    void startPage() { QVERIFY(save(m_window.get(), QStringLiteral("3-start-page"))); }

    void pluginPlaces()
    {
        for (QAction *button : m_window->findChild<QToolBar *>(QStringLiteral("toolbar"))->actions()) {
            if (button->text() == QLatin1String("Probe"))
                button->trigger();
        }
        QCOMPARE(m_window->mainContainer()->currentPage()->objectName(), QStringLiteral("probePage"));
        QVERIFY(m_window->findChild<QDockWidget *>(QStringLiteral("probe:::dock"))->isVisible());
        QVERIFY(save(m_window.get(), QStringLiteral("4-plugin-page")));
        QMenu *probeMenu = m_window->menuBar()->actions().at(1)->menu();
        probeMenu->popup(m_window->mapToGlobal(QPoint(60, 20)));
        QVERIFY(QTest::qWaitForWindowExposed(probeMenu));
        QVERIFY(save(probeMenu, QStringLiteral("5-plugin-menu")));
        probeMenu->close();
    }

    void notice()
    {
        NotifyWindow *notice = m_window->notifyWindow();
        notice->setText(QStringLiteral("New message from bob"));
        notice->show();
        QTRY_COMPARE(notice->windowOpacity(), 1.0);
        QVERIFY(save(notice, QStringLiteral("6-notice")));
    }

    void contactsPanel()
    {
        const auto contacts = MainClass::instance()->getAccount()->contactsData;
        const QList<QPair<QString, QByteArray>> statuses = {{QStringLiteral("bob"), "1"}, {QStringLiteral("carol"), "2"},
                                                            {QStringLiteral("dave"), "3"}, {QStringLiteral("erin"), "0"}};
        contacts->setSetting(QStringLiteral("carol/fullName"), QByteArray("Carol Whitfield-Montgomery"));
        contacts->setSetting(QStringLiteral("bob/fullName"), QByteArray("Bob Builder"));
        contacts->setSetting(QStringLiteral("bob/vcard/fullName"), QByteArray("Bob Builder"));
        contacts->setSetting(QStringLiteral("bob/vcard/city"), QByteArray("Gda\xc5\x84sk"));
        contacts->setSetting(QStringLiteral("bob/vcard/country"), QByteArray("PL"));
        for (const auto &status : statuses) {
            contacts->setSetting(status.first + QStringLiteral("/status"), status.second);
            MainClass::instance()->signalsDispatcher()->contactEdited(status.first);
        }
        uiContacts *panel = m_window->contactsPanel();
        panel->setContactSendProgress(QStringLiteral("bob"), 100);
        panel->setContactReceiveProgress(QStringLiteral("bob"), 50);
        panel->setContactSendProgress(QStringLiteral("carol"), 30);
        panel->setContactReceiveProgress(QStringLiteral("dave"), 100);
        QTRY_COMPARE(panel->contactList()->topLevelItem(0)->text(0), QStringLiteral("03dave"));
        QTest::qWait(100);
        panel->contactList()->topLevelItem(1)->setSelected(true);
        QVERIFY(save(panel, QStringLiteral("7-contacts")));
    }

    void profileView()
    {
        ContactList *list = m_window->contactsPanel()->contactList();
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            if (list->topLevelItem(i)->data(0, ContactList::UserRole).toString() == QLatin1String("bob"))
                emit list->itemActivated(list->topLevelItem(i), 0);
        }
        QCoreApplication::processEvents();
        QVERIFY(save(m_window.get(), QStringLiteral("8-profile")));
    }

    void dialogs()
    {
        // Through the menu, as a user opens it: the page shows the account's port.
        SettingsDialog *settings = m_window->settingsDialog();
        settings->contentsList()->setCurrentRow(0);
        bool saved = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (QApplication::activeModalWidget() != settings || !settings->isVisible())
                return;
            poll.stop();
            saved = save(settings, QStringLiteral("9-settings"));
            settings->close();
        });
        poll.start(20);
        m_window->findChild<QAction *>(QStringLiteral("actionSettings"))->trigger();
        QVERIFY(saved);

        uiAddUserWindow addUser(m_window.get());
        addUser.show();
        addUser.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(QStringLiteral("ali"));
        addUser.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
        QVERIFY(addUser.results()->topLevelItemCount() >= 2);
        addUser.results()->topLevelItem(1)->setSelected(true);
        QVERIFY(QTest::qWaitForWindowExposed(&addUser));
        QVERIFY(save(&addUser, QStringLiteral("10-add-contact")));

        MainClass::instance()->getAccount()->vcardData->sv(QStringLiteral("fullName"), QStringLiteral("Alice Liddell"));
        MainClass::instance()->getAccount()->vcardData->sv(QStringLiteral("city"), QStringLiteral("Oxford"));
        MainClass::instance()->getAccount()->vcardData->sv(QStringLiteral("country"), QStringLiteral("GB"));
        uiPersonalize personal(m_window.get());
        personal.show();
        QVERIFY(QTest::qWaitForWindowExposed(&personal));
        QVERIFY(save(&personal, QStringLiteral("11-personal-data")));
        personal.hide();

        const QDir data(m_fixture.sessions.server.dataDir());
        QFile catalogue(data.filePath(QStringLiteral("catalogue.ini")));
        QVERIFY(catalogue.open(QIODevice::WriteOnly));
        catalogue.write("[plugins]\nsize=3\n"
                        "1\\name=Probe\n1\\platform=linux\n1\\version=1\n1\\description=The window probe\n1\\file=libprobe.so\n"
                        "2\\name=WFtp\n2\\platform=linux\n2\\version=1\n2\\description=File sharing\n2\\file=libwftp.so\n"
                        "3\\name=WMail\n3\\platform=linux\n3\\version=1\n3\\description=Messages and chat\n3\\file=libwmail.so\n");
        catalogue.close();
        uiManagePlugins plugins(m_window.get());
        plugins.fillPluginList();
        plugins.show();
        QVERIFY(QTest::qWaitForWindowExposed(&plugins));
        QVERIFY(save(&plugins, QStringLiteral("12-plugins")));
    }

private:
    WindowFixture m_fixture;
    std::unique_ptr<Wivora> m_window;
};

WIVORA_TEST_MAIN(tst_Screenshots)
#include "tst_Screenshots.moc"
