// The sharing pages as the host gets them from the plug-in: the default disc
// of a new account, the contacts' discs on the main and per-contact pages,
// calls from the threads commands and thumbnails arrive on, and the menus
// and settings page.
#include "QtTestSuite.h"
#include "ShareFixture.h"
#include "TestHost.h"

#include <ModalAnswer.h>
#include <SharePage.h>
#include <ShareRights.h>
#include <WFtp.h>
#include <WFtpCommands.h>
#include <WFtpProtocol.h>
#include <WFtpWindows.h>
#include <uiMainWidget.h>
#include <FileList.h>
#include <FileListIconView.h>
#include <uiFileBrowser.h>
#include <uiSettings.h>
#include <uiTransferManager.h>
#include <uiTransferMonitor.h>

#include <QDockWidget>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMutex>
#include <QTabWidget>
#include <QtConcurrent>
#include <QtTest>

using namespace WFtpProtocol;

namespace {
// A client whose contacts list has a selection.
class SelectingHost : public TestHost
{
public:
    using TestHost::TestHost;
    // Read by the plug-in's maintenance thread too.
    QStringList getSelectedContacts() override
    {
        QMutexLocker lock(&m_selectedMutex);
        return m_selected;
    }
    void select(const QStringList &users)
    {
        QMutexLocker lock(&m_selectedMutex);
        m_selected = users;
    }

private:
    QMutex m_selectedMutex;
    QStringList m_selected;
};
// A picture of the widget as a user sees it, in the screenshot folder.
bool saveScreenshot(QWidget *widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    widget->resize(640, 400);
    widget->show();
    QApplication::processEvents();
    const bool saved = widget->grab().save(QStringLiteral(SCREENSHOT_FOLDER "/") + name + QStringLiteral(".png"));
    widget->hide();
    return saved;
}
} // namespace

class tst_MainPage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void newAccountGetsOneDefaultDisc_data();
    void newAccountGetsOneDefaultDisc();
    void perContactPageShowsExactlyThatContact();
    void offlineContactLeavesBothPages();
    void withdrawnDiscClosesWhereItIsShown();
    void thumbnailsReachTheBrowserOfTheirOwner();
    void callsFromOtherThreadsKeepTheirOrder();
    void reconnectReloadsOnThePageThread();
    void pluginHandsOutItsWindows();
    void shareFolderForSelectedUsers();

private:
    // The host asks for the windows before it logs in.
    void login();
    void announce(const QString &from, const QString &discs);
    uiMainWidget *mainPage() { return m_plugin->windows()->mainPage(); }
    uiMainWidget *userPage() { return m_plugin->windows()->userPage(); }
    QString defaultFolder() const { return m_alice->getPluginStoragePath("wftp") + "/myshareddisc"; }

    std::unique_ptr<TestNetwork> m_network;
    std::unique_ptr<SelectingHost> m_alice;
    std::vector<std::unique_ptr<TestHost>> m_contacts;
    std::unique_ptr<WFtp> m_plugin;
};

void tst_MainPage::init()
{
    m_network = std::make_unique<TestNetwork>();
    m_alice = std::make_unique<SelectingHost>("alice", m_network.get());
    for (const char *name : {"bob", "bo", "bobby"}) {
        m_contacts.push_back(std::make_unique<TestHost>(name, m_network.get()));
        m_alice->addContact(name);
    }
    m_plugin = std::make_unique<WFtp>();
    m_plugin->setHostInterface(m_alice.get());
}

void tst_MainPage::cleanup()
{
    m_alice->waitIdle();
    for (auto &contact : m_contacts)
        contact->waitIdle();
    m_alice->setPlugin(nullptr);
    m_plugin->closePlugin();
    m_plugin.reset();
    m_contacts.clear();
    m_alice.reset();
}

void tst_MainPage::login()
{
    QVERIFY(!m_plugin->getMainPluginWidget().isEmpty());
    m_alice->setPlugin(m_plugin.get());
}

void tst_MainPage::announce(const QString &from, const QString &discs)
{
    KvrConfig record = WFtpCommands::newRecord(GetSharedFolders + ReplySuffix);
    record.SetResult(true);
    record.sv("discs", discs);
    m_network->find(from)->sendCommand(record, "alice", false, QString());
    m_alice->waitIdle();
}

void tst_MainPage::newAccountGetsOneDefaultDisc_data()
{
    QTest::addColumn<QString>("sharedBefore");
    QTest::addColumn<QString>("disc");
    QTest::newRow("no disc") << QString() << "My Shared Disc";
    QTest::newRow("folder already shared") << "mine" << "mine";
}

void tst_MainPage::newAccountGetsOneDefaultDisc()
{
    QFETCH(QString, sharedBefore);
    QFETCH(QString, disc);
    WFtpEngine &engine = *m_plugin->controller().engine();
    if (!sharedBefore.isEmpty()) {
        QVERIFY(QDir().mkpath(defaultFolder()));
        QCOMPARE(engine.addSharedDisc(defaultFolder(), sharedBefore), sharedBefore);
    }
    login();
    const QStringList expected{"vls/alice/" + disc + "/root"};
    QCOMPARE(mainPage()->ownDiscs(), expected);
    QVERIFY(QFileInfo(defaultFolder()).isDir());
    QCOMPARE(engine.getSharedDisc(disc)->gv("path"), defaultFolder());
    QCOMPARE(mainPage()->ownBrowser()->treeWidget()->topLevelItemCount(), 1);
    QCOMPARE(mainPage()->ownBrowser()->treeWidget()->topLevelItem(0)->text(0), "alice: " + disc);
    QCOMPARE(mainPage()->ownBrowser()->treeWidget()->topLevelItem(0)->data(0, uiFileBrowser::PathRole).toString(),
             expected.first());

    // Again, and from the per-contact page of a contact who may see nothing.
    mainPage()->refresh();
    m_plugin->setUser("bob");
    QCOMPARE(mainPage()->ownDiscs(), expected);
    QCOMPARE(userPage()->ownDiscs(), expected);
    QCOMPARE(engine.getSharedDiscs()->childCount(), 1);
}

void tst_MainPage::perContactPageShowsExactlyThatContact()
{
    login();
    announce("bob", "vls/bob/Music/root|");
    announce("bo", "vls/bo/Films/root|");
    announce("bobby", "vls/bobby/Books/root|");
    QTRY_COMPARE(mainPage()->friendDiscs(),
                 (QStringList{"vls/bob/Music/root", "vls/bo/Films/root", "vls/bobby/Books/root"}));

    m_plugin->setUser("bob");
    QCOMPARE(userPage()->user(), QStringLiteral("bob"));
    QCOMPARE(userPage()->friendDiscs(), QStringList{"vls/bob/Music/root"});
    // Announced later: only bob's own join his page, whatever their name holds.
    announce("bobby", "vls/bobby/Books/root|vls/bobby/Games/root|");
    announce("bob", "vls/bob/Photos/root|");
    QTRY_COMPARE(userPage()->friendDiscs(), (QStringList{"vls/bob/Music/root", "vls/bob/Photos/root"}));
    QCOMPARE(mainPage()->friendDiscs().size(), 5);
    // An announced disc already listed is not listed twice.
    announce("bob", "vls/bob/Music/root|");
    QCOMPARE(userPage()->friendDiscs().size(), 2);

    QVERIFY(saveScreenshot(userPage(), "wftp-contact-page"));
    QVERIFY(saveScreenshot(mainPage(), "wftp-main-page-friends"));

    m_plugin->setUser("bo");
    QCOMPARE(userPage()->friendDiscs(), QStringList{"vls/bo/Films/root"});
}

void tst_MainPage::offlineContactLeavesBothPages()
{
    login();
    announce("bob", "vls/bob/Music/root|vls/bob/Photos/root|");
    announce("bo", "vls/bo/Films/root|");
    m_plugin->setUser("bob");
    QTRY_COMPARE(userPage()->friendDiscs().size(), 2);

    m_alice->getAccount()->contactsData->GetStructureByValue("section", "bob")->sv("status", "0");
    // The host raises contact events on threads of its own.
    QtConcurrent::run([this] {
        m_plugin->signalReceived("signalContactEdited", {{"username", "bob"}});
    }).waitForFinished();
    QTRY_COMPARE(mainPage()->friendDiscs(), QStringList{"vls/bo/Films/root"});
    QTRY_VERIFY(userPage()->friendDiscs().isEmpty());
    QCOMPARE(m_plugin->controller().knownDiscs(), QStringList{"vls/bo/Films/root"});

    // The page's own call forgets the contact in the controller too.
    mainPage()->removeUserDiscs("bo");
    QVERIFY(mainPage()->friendDiscs().isEmpty());
    QVERIFY(m_plugin->controller().knownDiscs().isEmpty());
}

void tst_MainPage::withdrawnDiscClosesWhereItIsShown()
{
    login();
    announce("bob", "vls/bob/Music/root|vls/bob/Photos/root|");
    uiFileBrowser *browser = mainPage()->friendsBrowser();
    QTRY_COMPARE(browser->discPaths.size(), 2);
    QCOMPARE(browser->treeWidget()->topLevelItemCount(), 2);
    const auto withdraw = [this](const QString &path) {
        KvrConfig gone = WFtpCommands::newRecord("wftp:::disconnectDisc:callback");
        gone.sv("path", path);
        m_network->find("bob")->sendCommand(gone, "alice", false, QString());
        m_alice->waitIdle();
    };
    // Inside a folder of Music, as if the user had walked there.
    browser->currentPath = "vls/bob/Music/root/rock";
    withdraw("vls/bob/Photos");
    QTRY_COMPARE(browser->discPaths, QStringList{"vls/bob/Music/root"});
    QCOMPARE(browser->currentPath, QStringLiteral("vls/bob/Music/root/rock"));
    withdraw("vls/bob/Music");
    QTRY_VERIFY(browser->discPaths.isEmpty());
    QCOMPARE(browser->currentPath, QStringLiteral("/"));
    QCOMPARE(browser->treeWidget()->topLevelItemCount(), 0);
}

void tst_MainPage::thumbnailsReachTheBrowserOfTheirOwner()
{
    // Bob runs the plug-in too and shares his music with alice.
    QTemporaryDir music;
    QVERIFY(ShareFixture::writeFile(music.filePath("song.txt"), "la"));
    WFtp bobPlugin;
    TestHost &bob = *m_network->find("bob");
    bob.addContact("alice");
    bob.setPlugin(&bobPlugin);
    const QString bobsDisc = bobPlugin.controller().shareFolderWith(music.path(), {"alice"});
    QVERIFY(!bobsDisc.isEmpty());
    QTemporaryDir notes;
    QVERIFY(ShareFixture::writeFile(notes.filePath("plan.txt"), "go"));
    const QString ownDisc =
        "vls/alice/" + m_plugin->controller().engine()->addSharedDisc(notes.path(), "notes") + "/root";
    login();

    // Both browsers show one folder in their icon views.
    const auto showFolder = [](uiFileBrowser *browser, const QString &folder) {
        browser->findChild<QAction *>("actionIcon_View")->trigger();
        browser->currentPath = folder;
        browser->requestListDirectory(false);
    };
    showFolder(mainPage()->friendsBrowser(), bobsDisc);
    showFolder(mainPage()->ownBrowser(), ownDisc);
    QTRY_COMPARE(mainPage()->friendsBrowser()->iconView()->count(), 1);
    QTRY_COMPARE(mainPage()->ownBrowser()->iconView()->count(), 1);

    const auto picture = [](const QColor &color) {
        QImage image(32, 32, QImage::Format_RGB32);
        image.fill(color);
        return image;
    };
    const auto shownColor = [](uiFileBrowser *browser) {
        return QColor(browser->iconView()->item(0)->icon().pixmap(16, 16).toImage().pixel(8, 8));
    };
    const QColor before = shownColor(mainPage()->ownBrowser());
    // Arriving on the threads commands and thumbnail tasks run on.
    QtConcurrent::run([&] {
        mainPage()->setFileThumbnail(bobsDisc, "song.txt", picture(Qt::red));
        mainPage()->setFileThumbnail(ownDisc, "plan.txt", picture(Qt::blue));
        // Another folder's picture changes nothing.
        mainPage()->setFileThumbnail(ownDisc + "/old", "plan.txt", picture(Qt::green));
    }).waitForFinished();
    QTRY_COMPARE(shownColor(mainPage()->friendsBrowser()), QColor(Qt::red));
    QTRY_COMPARE(shownColor(mainPage()->ownBrowser()), QColor(Qt::blue));
    QVERIFY(before != QColor(Qt::blue));
    QTest::qWait(50);
    QCOMPARE(shownColor(mainPage()->ownBrowser()), QColor(Qt::blue));
    QVERIFY(saveScreenshot(mainPage(), "wftp-main-page-thumbnails"));

    bob.setPlugin(nullptr);
    bob.waitIdle();
    m_alice->waitIdle();
    bobPlugin.closePlugin();
}

void tst_MainPage::callsFromOtherThreadsKeepTheirOrder()
{
    login();
    uiMainWidget *page = mainPage();
    QList<QThread *> changedOn;
    QStringList thumbnails;
    connect(&m_plugin->controller().mainPage(), &SharePage::friendDiscsChanged, this,
            [&] { changedOn << QThread::currentThread(); }, Qt::DirectConnection);
    connect(&m_plugin->controller().mainPage(), &SharePage::thumbnailArrived, this,
            [&](const QString &, const QString &name) {
                changedOn << QThread::currentThread();
                thumbnails << name;
            },
            Qt::DirectConnection);

    // Each disc is added then withdrawn, except every tenth: applied out of
    // order, a withdrawal would come before its addition and leave it listed.
    QStringList expected;
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QtConcurrent::run([&] {
        for (int i = 0; i < 200; ++i) {
            const QString disc = QStringLiteral("vls/bob/d%1/root").arg(i);
            page->addFriendDisc(disc);
            page->setFileThumbnail("vls/bob/d0/root", QString::number(i), picture);
            if (i % 10)
                page->removeFriendDisc(disc);
            else
                expected << disc;
        }
    }).waitForFinished();
    QTRY_COMPARE(thumbnails.size(), 200);
    QCOMPARE(page->friendDiscs(), expected);
    for (int i = 0; i < thumbnails.size(); ++i)
        QCOMPARE(thumbnails[i], QString::number(i));
    for (QThread *thread : changedOn)
        QCOMPARE(thread, QThread::currentThread());
}

void tst_MainPage::reconnectReloadsOnThePageThread()
{
    login();
    announce("bob", "vls/bob/Music/root|");
    QTRY_COMPARE(mainPage()->friendDiscs().size(), 1);
    QList<QThread *> changedOn;
    connect(&m_plugin->controller().mainPage(), &SharePage::friendDiscsChanged, this,
            [&] { changedOn << QThread::currentThread(); }, Qt::DirectConnection);
    QTemporaryDir extra;
    const QString disc = m_plugin->controller().engine()->addSharedDisc(extra.path(), "extra");

    // The host's reconnect task logs in again on a pool thread.
    QtConcurrent::run([this] { m_plugin->initPlugin(); }).waitForFinished();
    QTRY_COMPARE(mainPage()->ownDiscs(),
                 (QStringList{"vls/alice/My Shared Disc/root", "vls/alice/" + disc + "/root"}));
    QVERIFY(mainPage()->friendDiscs().isEmpty());
    QVERIFY(!changedOn.isEmpty());
    for (QThread *thread : changedOn)
        QCOMPARE(thread, QThread::currentThread());
}

void tst_MainPage::pluginHandsOutItsWindows()
{
    login();
    QCOMPARE(m_plugin->getMainPluginWidget(), QList<QWidget *>{mainPage()});
    const QMap<QString, QWidget *> userWidgets = m_plugin->getUserWidget();
    QCOMPARE(userWidgets.keys(), QStringList{"files"});
    QCOMPARE(userWidgets.value("files"), userPage());
    QVERIFY(mainPage() != userPage());
    QVERIFY(!mainPage()->parent() && !userPage()->parent());

    const auto *tabs = mainPage()->findChild<QTabWidget *>();
    QVERIFY(tabs);
    QStringList titles;
    for (int i = 0; i < tabs->count(); ++i)
        titles << tabs->tabText(i);
    QCOMPARE(titles, (QStringList{"My friends folders", "My shared folders", "Web shared files"}));
    QCOMPARE(tabs->currentIndex(), 0);

    auto *settings = qobject_cast<uiSettings *>(m_plugin->getSettingsWidget());
    QVERIFY(settings);
    QCOMPARE(settings->findChild<QLabel *>()->text(), QStringLiteral("Nothing to set"));
    QCOMPARE(m_plugin->getSettingsWidget(), settings);
    QVERIFY(saveScreenshot(settings, "wftp-settings-page"));
    auto *pageTabs = mainPage()->findChild<QTabWidget *>("tabWidget");
    pageTabs->setCurrentIndex(1);
    QVERIFY(saveScreenshot(mainPage(), "wftp-main-page-own"));
    pageTabs->setCurrentIndex(0);

    const auto texts = [](const QList<QAction *> &actions) {
        QStringList names;
        for (const QAction *action : actions)
            names << action->text();
        return names;
    };
    QCOMPARE(texts(m_plugin->getContactsContextMenu()), (QStringList{"Refresh Users Folders", "Share folder for user"}));
    QCOMPARE(texts(m_plugin->getPluginMenu()),
             (QStringList{"Refresh Users Folders", "Share folder for user", "Share local file via www"}));
    QCOMPARE(texts(m_plugin->getQuickMenuActions()), (QStringList{"Add shared folder", "Share local file via www"}));
    for (const QAction *action : m_plugin->getQuickMenuActions())
        QVERIFY(!action->icon().isNull());
    QVERIFY(!m_plugin->getPluginIcon().isNull());
    QCOMPARE(m_plugin->getWindowIcon(userPage()), m_plugin->getPluginIcon());

    // New docks on every call, around the same two lists.
    QMap<QString, QWidget *> contents;
    QSet<QDockWidget *> docks;
    for (int call = 0; call < 2; ++call) {
        const auto made = m_plugin->getDockWindows();
        QCOMPARE(made.size(), 2);
        for (auto it = made.cbegin(); it != made.cend(); ++it) {
            QDockWidget *dock = it.key();
            QCOMPARE(it.value(), Qt::BottomDockWidgetArea);
            QCOMPARE(dock->allowedAreas(), Qt::BottomDockWidgetArea);
            QCOMPARE(dock->features(), QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable
                                           | QDockWidget::DockWidgetFloatable);
            QVERIFY(!docks.contains(dock));
            docks << dock;
            if (call == 0)
                contents.insert(dock->objectName(), dock->widget());
            else
                QCOMPARE(dock->widget(), contents.value(dock->objectName()));
        }
    }
    QCOMPARE(contents.keys(), (QStringList{"wftp:::transfermanager", "wftp:::transfermonitor"}));
    QCOMPARE(contents.value("wftp:::transfermanager"), m_plugin->windows()->transferManager());
    QCOMPARE(contents.value("wftp:::transfermonitor"), m_plugin->windows()->transferMonitor());
    // The host owns the docks it places; these were never placed.
    for (QWidget *content : contents)
        content->setParent(nullptr);
    qDeleteAll(docks);
}

void tst_MainPage::shareFolderForSelectedUsers()
{
    login();
    QAction *share = m_plugin->getPluginMenu().at(1);
    // Nobody selected: the user is told, nothing is shared.
    QString told;
    answerModal<QMessageBox>(this, [&](QMessageBox *box) {
        told = box->text();
        box->accept();
    });
    share->trigger();
    QCOMPARE(told, QStringLiteral("No user were selected. Please select user from your contacts"));

    QTemporaryDir folder;
    m_alice->select({"bob", "bo"});
    answerModal<QFileDialog>(this, [&](QFileDialog *dialog) {
        // Typed, as a user would: the dialog may open in a folder that is gone.
        dialog->findChild<QLineEdit *>("fileNameEdit")->setText(folder.path());
        static_cast<QDialog *>(dialog)->accept();
    });
    share->trigger();
    const QString disc = QDir(folder.path()).dirName();
    QCOMPARE(mainPage()->ownDiscs(), (QStringList{"vls/alice/My Shared Disc/root", "vls/alice/" + disc + "/root"}));
    WFtpEngine &engine = *m_plugin->controller().engine();
    QCOMPARE(engine.getUserPermission(disc, "root", "bob"), int(ShareRights::Full));
    QVERIFY(engine.getUserPermission(disc, "root", "bo") != ShareRights::None);
    m_alice->waitIdle();
    m_network->find("bob")->waitIdle();
    const QList<KvrConfig> pushes = m_network->find("bob")->takeAll(GetSharedFolders + ReplySuffix);
    QVERIFY(!pushes.isEmpty());
    QVERIFY(pushes.last().gv("discs").contains("vls/alice/" + disc + "/root|"));
}

WIVORA_TEST_MAIN(tst_MainPage)
#include "tst_MainPage.moc"
