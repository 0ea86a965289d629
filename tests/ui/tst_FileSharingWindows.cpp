// Two windowed clients sharing files through their windows, against the real
// stand-in service, each driven through the window-probe plug-in as a user
// would drive it: bob shares a folder with alice through the wizard, alice
// finds it on her contacts' tab, opens it, sees its pictures' thumbnails and
// drags a folder of it onto her own disc; bob publishes a file on the web and a plain HTTP
// client downloads it with the password. Pictures of each window and step go
// to the screenshot folder.

#include "FileBytes.h"
#include "QtTestSuite.h"
#include "WindowFixture.h"
#include "WindowProbeClient.h"
#include "WindowedClient.h"

#include <HttpTestClient.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
const QString Plugin = QStringLiteral("WFtp");
const QString Disc = QStringLiteral("Holiday");
// Discs as the windows name them (their inner paths never show).
const QString DiscShown = QStringLiteral("bob: Holiday");
const QString AlicesDiscShown = QStringLiteral("alice: My Shared Disc");

bool writePicture(const QString &path, const QColor &color)
{
    QImage picture(640, 480, QImage::Format_RGB32);
    picture.fill(color);
    return picture.save(path, "JPG");
}

QString screenshot(const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    return QStringLiteral(SCREENSHOT_FOLDER "/filesharing-") + name + QStringLiteral(".png");
}

} // namespace

class tst_FileSharingWindows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void bobSharesAFolderThroughTheWizard();
    void aliceSeesTheDiscOnHerContactsTab();
    void aliceOpensItAndSeesThumbnails();
    void aliceDragsAFolderOntoHerDisc();
    void aliceDropsAFolderOnBobsDisc();
    void bobPublishesAFileOnTheWeb();
    void cleanupTestCase();

private:
    // Saves a picture of the widget at path in client's windows.
    void grab(WindowProbeClient &client, const QString &path, const QString &name)
    {
        QCOMPARE(client.ask(QStringLiteral("grab %1 %2").arg(path, screenshot(name))), QStringLiteral("ok"));
    }
    static QString waitForModal(WindowProbeClient &client, const QString &name)
    {
        return client.waitFor(QStringLiteral("modal"), [name](const QString &modal) { return modal == name; });
    }

    static bool sameFile(const QString &first, const QString &second)
    {
        QFile a(first);
        QFile b(second);
        return a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly) && a.size() == b.size()
            && a.readAll() == b.readAll();
    }
    static bool waitForCopy(const QString &source, const QString &copy)
    {
        const QDeadlineTimer deadline(WindowProbeClient::AnswerTimeoutMs * 2);
        while (!sameFile(source, copy) && !deadline.hasExpired())
            QTest::qWait(200);
        return sameFile(source, copy);
    }

    WindowFixture m_fixture;
    WindowedClient m_alice;
    WindowedClient m_bob;
    QTemporaryDir m_files;
};

void tst_FileSharingWindows::initTestCase()
{
    // Bob's holiday: three pictures and a folder of notes.
    const QString holiday = m_files.filePath(Disc);
    QVERIFY(QDir().mkpath(holiday + QStringLiteral("/notes")));
    QVERIFY(writePicture(holiday + QStringLiteral("/beach.jpg"), QColor(30, 120, 220)));
    QVERIFY(writePicture(holiday + QStringLiteral("/forest.jpg"), QColor(40, 160, 60)));
    QVERIFY(writePicture(holiday + QStringLiteral("/sunset.jpg"), QColor(230, 110, 30)));
    QVERIFY(writeBytes(holiday + QStringLiteral("/notes/day1.txt"), "Sand and sun.\n"));
    QVERIFY(writeBytes(holiday + QStringLiteral("/notes/day2.txt"), QByteArray(300 * 1000, 'x')));
    // Big enough to be seen under way in both docks.
    QByteArray film(200 * 1000 * 1000, '\0');
    for (int i = 0; i < film.size(); i += 4096)
        film[i] = char(i / 4096);
    QVERIFY(writeBytes(holiday + QStringLiteral("/notes/film.bin"), film));

    QVERIFY2(m_fixture.start({Alice, Bob}, {{Alice, Bob}}), qPrintable(m_fixture.sessions.server.errorText()));
    for (auto *client : {&m_alice, &m_bob}) {
        client->setMachineSettings(m_fixture.serviceSettings());
        QVERIFY(client->installPlugin(WindowFixture::probePlugin()));
        QVERIFY(client->installPlugin(QStringLiteral(WIVORA_WFTP_PLUGIN)));
    }
    m_alice.rememberLogin(Alice, WindowFixture::passwordOf(Alice));
    m_bob.rememberLogin(Bob, WindowFixture::passwordOf(Bob));
    QVERIFY2(m_bob.start(), qPrintable(m_bob.diagnostics()));
    QVERIFY2(m_alice.start(), qPrintable(m_alice.diagnostics()));
}

void tst_FileSharingWindows::bobSharesAFolderThroughTheWizard()
{
    WindowProbeClient bob(m_bob);
    QCOMPARE(bob.ask(QStringLiteral("button ") + Plugin), QStringLiteral("ok"));
    QCOMPARE(bob.ask(QStringLiteral("trigger actionAdd_shared_folder")), QStringLiteral("ok"));
    QCOMPARE(waitForModal(bob, QStringLiteral("ShareFolderWizard")), QStringLiteral("ShareFolderWizard"));
    QCOMPARE(bob.ask(QStringLiteral("text wpSelectFolder/lineEdit ") + m_files.filePath(Disc)), QStringLiteral("ok"));
    QCOMPARE(bob.ask(QStringLiteral("text wpSelectFolder/lineEdit_2 ") + Disc), QStringLiteral("ok"));
    grab(bob, QStringLiteral("modal"), QStringLiteral("wizard-1-folder"));

    QCOMPARE(bob.ask(QStringLiteral("wizard next")), QStringLiteral("ok"));
    QCOMPARE(bob.waitFor(QStringLiteral("text wpSelectUsers/comboBox ") + Alice,
                         [](const QString &answer) { return answer == QLatin1String("ok"); }),
             QStringLiteral("ok"));
    for (const char *right : {"checkBox", "checkBox_2", "checkBox_3", "checkBox_4"})
        QCOMPARE(bob.ask(QStringLiteral("check wpSelectUsers/%1 1").arg(QLatin1String(right))), QStringLiteral("ok"));
    QCOMPARE(bob.ask(QStringLiteral("click wpSelectUsers/pushButton_3")), QStringLiteral("ok"));
    QCOMPARE(bob.waitFor(QStringLiteral("entries wpSelectUsers/listWidget"),
                         [](const QString &rows) { return !rows.isEmpty(); })
                 .isEmpty(),
             false);
    grab(bob, QStringLiteral("modal"), QStringLiteral("wizard-2-users"));
    QCOMPARE(bob.ask(QStringLiteral("wizard finish")), QStringLiteral("ok"));
    QCOMPARE(waitForModal(bob, QStringLiteral("none")), QStringLiteral("none"));
    QCOMPARE(bob.ask(QStringLiteral("tab wftpMainPage/tabWidget 1")), QStringLiteral("ok"));
    QCOMPARE(bob.waitFor(QStringLiteral("entries wftpMainPage/ownBrowser/treeWidget"),
                         [](const QString &discs) { return discs.contains(DiscShown); })
                 .contains(DiscShown),
             true);
    grab(bob, QStringLiteral("window"), QStringLiteral("bob-own-discs"));
}

void tst_FileSharingWindows::aliceSeesTheDiscOnHerContactsTab()
{
    WindowProbeClient alice(m_alice);
    QCOMPARE(alice.ask(QStringLiteral("button ") + Plugin), QStringLiteral("ok"));
    QCOMPARE(alice.waitFor(QStringLiteral("entries wftpMainPage/friendsBrowser/treeWidget"),
                           [](const QString &discs) { return discs == DiscShown; }),
             DiscShown);
    grab(alice, QStringLiteral("window"), QStringLiteral("alice-contacts-discs"));
    // Bob's profile shows the same disc on its "files" page.
    QCOMPARE(alice.ask(QStringLiteral("show bob")), QStringLiteral("ok"));
    QCOMPARE(alice.waitFor(QStringLiteral("entries wftpUserPage/friendsBrowser/treeWidget"),
                           [](const QString &discs) { return discs == DiscShown; }),
             DiscShown);
    QCOMPARE(alice.ask(QStringLiteral("button ") + Plugin), QStringLiteral("ok"));
}

void tst_FileSharingWindows::aliceOpensItAndSeesThumbnails()
{
    WindowProbeClient alice(m_alice);
    const QString icons = QStringLiteral("wftpMainPage/friendsBrowser/listWidget");
    QCOMPARE(alice.ask(QStringLiteral("trigger wftpMainPage/friendsBrowser/actionIcon_View")), QStringLiteral("ok"));
    QCOMPARE(alice.waitFor(QStringLiteral("activate %1 %2").arg(icons, DiscShown),
                           [](const QString &answer) { return answer == QLatin1String("ok"); }),
             QStringLiteral("ok"));
    QCOMPARE(alice.waitFor(QStringLiteral("entries ") + icons,
                           [](const QString &names) { return names.split(QLatin1Char('|')).size() == 4; }),
             QStringLiteral("beach.jpg|forest.jpg|notes|sunset.jpg"));
    // The path line names the disc as bob named it, not by its inner path.
    QCOMPARE(alice.ask(QStringLiteral("read wftpMainPage/friendsBrowser/label")), DiscShown);
    // Each picture's thumbnail replaces the picture icon: blue sea, green forest.
    const QColor beach(alice.waitFor(QStringLiteral("icon %1 beach.jpg").arg(icons), [](const QString &colour) {
        return QColor(colour).blue() > 180 && QColor(colour).red() < 80;
    }));
    QVERIFY2(beach.blue() > 180 && beach.red() < 80, qPrintable(beach.name()));
    const QColor forest(alice.waitFor(QStringLiteral("icon %1 forest.jpg").arg(icons), [](const QString &colour) {
        return QColor(colour).green() > 120 && QColor(colour).red() < 80;
    }));
    QVERIFY2(forest.green() > 120 && forest.red() < 80, qPrintable(forest.name()));
    grab(alice, QStringLiteral("window"), QStringLiteral("alice-thumbnails"));
}

// Held over "My shared folders", the drag shows that tab; dropped on her
// own disc, bob's folder is downloaded into it.
void tst_FileSharingWindows::aliceDragsAFolderOntoHerDisc()
{
    WindowProbeClient alice(m_alice);
    WindowProbeClient bob(m_bob);
    const QString ownDiscs = QStringLiteral("wftpMainPage/ownBrowser/treeWidget");
    QCOMPARE(alice.waitFor(QStringLiteral("entries ") + ownDiscs,
                           [](const QString &discs) { return discs.contains(AlicesDiscShown); })
                 .contains(AlicesDiscShown),
             true);
    // Docks of their own, large enough to read.
    QCOMPARE(alice.ask(QStringLiteral("float wftp:::transfermanager 560 160")), QStringLiteral("ok"));
    QCOMPARE(bob.ask(QStringLiteral("float wftp:::transfermonitor 1000 160")), QStringLiteral("ok"));

    const QString icons = QStringLiteral("wftpMainPage/friendsBrowser/listWidget");
    QCOMPARE(alice.ask(QStringLiteral("select %1 notes").arg(icons)), QStringLiteral("ok"));
    QCOMPARE(alice.ask(QStringLiteral("drag ") + icons), QStringLiteral("ok"));
    QCOMPARE(alice.ask(QStringLiteral("hover wftpMainPage/tabWidget My shared folders")), QStringLiteral("ok"));
    QCOMPARE(alice.waitFor(QStringLiteral("read wftpMainPage/tabWidget"),
                           [](const QString &tab) { return tab == QLatin1String("My shared folders"); }),
             QStringLiteral("My shared folders"));
    QCOMPARE(alice.ask(QStringLiteral("release %1 %2").arg(ownDiscs, AlicesDiscShown)), QStringLiteral("ok"));

    // Under way: the film's row in alice's transfer manager, the open film in
    // bob's monitor, each pictured as soon as it shows (the film takes
    // seconds only).
    bool managerShown = false;
    bool monitorShown = false;
    const QDeadlineTimer deadline(WindowProbeClient::AnswerTimeoutMs);
    while (!(managerShown && monitorShown) && !deadline.hasExpired()) {
        if (!managerShown
            && alice.ask(QStringLiteral("entries wftp:::transfermanager/listWidget")).contains(QLatin1String("film.bin speed:"))) {
            grab(alice, QStringLiteral("wftp:::transfermanager"), QStringLiteral("alice-transfer-manager"));
            managerShown = true;
        }
        const QString monitor = monitorShown ? QString() : bob.ask(QStringLiteral("entries wftp:::transfermonitor/listWidget"));
        if (monitor.contains(QLatin1String("film.bin"))) {
            // bob reads where his own file lies, never the inner path alice asked for.
            QVERIFY2(monitor.contains(m_files.filePath(Disc) + QStringLiteral("/notes/film.bin"))
                         && !monitor.contains(QLatin1String("vls/")),
                     qPrintable(monitor));
            grab(bob, QStringLiteral("wftp:::transfermonitor"), QStringLiteral("bob-transfer-monitor"));
            monitorShown = true;
        }
    }
    QVERIFY(managerShown);
    QVERIFY(monitorShown);

    const QString notes = m_files.filePath(Disc) + QStringLiteral("/notes");
    const QString arrived = m_alice.storagePath() + QStringLiteral("/pluginsstorage/alice/wftp/myshareddisc/notes/");
    for (const char *file : {"day1.txt", "day2.txt", "film.bin"})
        QVERIFY2(waitForCopy(notes + QLatin1Char('/') + QLatin1String(file), arrived + QLatin1String(file)), file);
    // The finished row names the folder as bob named it.
    QVERIFY2(alice.waitFor(QStringLiteral("entries wftp:::transfermanager/listWidget"),
                           [](const QString &rows) { return rows.contains(DiscShown + QStringLiteral("/notes completed")); })
                 .contains(DiscShown + QStringLiteral("/notes completed")),
             qPrintable(alice.ask(QStringLiteral("entries wftp:::transfermanager/listWidget"))));
    QVERIFY(!alice.ask(QStringLiteral("entries wftp:::transfermanager/listWidget")).contains(QLatin1String("vls/")));
    grab(alice, QStringLiteral("wftp:::transfermanager"), QStringLiteral("alice-transfer-done"));
    grab(alice, QStringLiteral("window"), QStringLiteral("alice-own-disc-after-drag"));
    QCOMPARE(alice.ask(QStringLiteral("tab wftpMainPage/tabWidget 0")), QStringLiteral("ok"));
}

void tst_FileSharingWindows::aliceDropsAFolderOnBobsDisc()
{
    WindowProbeClient alice(m_alice);
    QTemporaryDir local;
    const QString trip = local.filePath(QStringLiteral("trip"));
    QVERIFY(QDir().mkpath(trip));
    QVERIFY(writeBytes(trip + QStringLiteral("/route.txt"), "north, then east\n"));
    QVERIFY(writePicture(trip + QStringLiteral("/map.jpg"), QColor(200, 200, 40)));
    // On the list view: the icon view takes no drops from other programs.
    QCOMPARE(alice.ask(QStringLiteral("trigger wftpMainPage/friendsBrowser/actionList_View")), QStringLiteral("ok"));
    QCOMPARE(alice.ask(QStringLiteral("drop wftpMainPage/friendsBrowser/treeWidget ") + trip), QStringLiteral("ok"));
    const QString arrived = m_files.filePath(Disc) + QStringLiteral("/trip/");
    QVERIFY(waitForCopy(trip + QStringLiteral("/route.txt"), arrived + QStringLiteral("route.txt")));
    QVERIFY(waitForCopy(trip + QStringLiteral("/map.jpg"), arrived + QStringLiteral("map.jpg")));
    QCOMPARE(alice.ask(QStringLiteral("trigger wftpMainPage/friendsBrowser/actionRefresh")), QStringLiteral("ok"));
    QCOMPARE(alice.waitFor(QStringLiteral("entries wftpMainPage/friendsBrowser/treeWidget"),
                           [](const QString &names) { return names.contains(QLatin1String("trip")); })
                 .contains(QLatin1String("trip")),
             true);
    grab(alice, QStringLiteral("window"), QStringLiteral("alice-after-drop"));
}

void tst_FileSharingWindows::bobPublishesAFileOnTheWeb()
{
    WindowProbeClient bob(m_bob);
    const QString beach = m_files.filePath(Disc) + QStringLiteral("/beach.jpg");
    QCOMPARE(bob.ask(QStringLiteral("tab wftpMainPage/tabWidget 2")), QStringLiteral("ok"));
    QCOMPARE(bob.ask(QStringLiteral("drop wftpMainPage/webSharedFiles/treeWidget ") + beach), QStringLiteral("ok"));
    QCOMPARE(waitForModal(bob, QStringLiteral("QWizard")), QStringLiteral("QWizard"));
    QCOMPARE(bob.ask(QStringLiteral("text modal/lineEdit sesame")), QStringLiteral("ok"));
    grab(bob, QStringLiteral("modal"), QStringLiteral("web-file-wizard"));
    QCOMPARE(bob.ask(QStringLiteral("wizard finish")), QStringLiteral("ok"));
    QCOMPARE(waitForModal(bob, QStringLiteral("uiLinksDisplay")), QStringLiteral("uiLinksDisplay"));
    const QString link = bob.ask(QStringLiteral("read modal/textEdit")).trimmed();
    QVERIFY2(link.startsWith(m_fixture.site() + QStringLiteral("/webfiles/bob/")), qPrintable(link));
    grab(bob, QStringLiteral("modal"), QStringLiteral("web-file-links"));
    QCOMPARE(bob.ask(QStringLiteral("click modal/pushButton_2")), QStringLiteral("ok"));
    QCOMPARE(waitForModal(bob, QStringLiteral("none")), QStringLiteral("none"));
    grab(bob, QStringLiteral("window"), QStringLiteral("bob-web-files"));

    // Anyone with the link and the password gets the file from the service's site.
    const QUrl url(link);
    QCOMPARE(qtExchange("POST", url, "password=wrong", "application/x-www-form-urlencoded").status, 403);
    const QtAnswer download = qtExchange("POST", url, "password=sesame", "application/x-www-form-urlencoded");
    QCOMPARE(download.status, 200);
    QFile original(beach);
    QVERIFY(original.open(QIODevice::ReadOnly));
    QCOMPARE(download.body, original.readAll());
}

void tst_FileSharingWindows::cleanupTestCase()
{
    for (auto *client : {&m_alice, &m_bob}) {
        if (client->isRunning())
            QVERIFY2(client->stop(), qPrintable(client->diagnostics()));
    }
}

WIVORA_TEST_MAIN(tst_FileSharingWindows)
#include "tst_FileSharingWindows.moc"
