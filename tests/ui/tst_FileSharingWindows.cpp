// Two windowed clients sharing files through their windows, against the real
// stand-in service, each driven through the window-probe plug-in as a user
// would drive it: bob shares a folder with alice through the wizard, alice
// finds it on her contacts' tab, opens it, sees its pictures' thumbnails and
// takes a folder of it; bob publishes a file on the web and a plain HTTP
// client downloads it with the password. Pictures of each window and step go
// to the screenshot folder.

#include "ProbeDriver.h"
#include "WindowFixture.h"
#include "WindowedClient.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
const QString Plugin = QStringLiteral("WFtp");
const QString Disc = QStringLiteral("Holiday");
const QString DiscPath = QStringLiteral("vls/bob/Holiday/root");

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

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
    void cleanupTestCase();

private:
    // Saves a picture of the widget at path in client's windows.
    void grab(ProbeDriver &client, const QString &path, const QString &name)
    {
        QCOMPARE(client.ask(QStringLiteral("grab %1 %2").arg(path, screenshot(name))), QStringLiteral("ok"));
    }
    static QString waitForModal(ProbeDriver &client, const QString &name)
    {
        return client.waitFor(QStringLiteral("modal"), [name](const QString &modal) { return modal == name; });
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
    ProbeDriver bob(m_bob);
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
    QCOMPARE(bob.waitFor(QStringLiteral("items wpSelectUsers/listWidget"),
                         [](const QString &rows) { return !rows.isEmpty(); })
                 .isEmpty(),
             false);
    grab(bob, QStringLiteral("modal"), QStringLiteral("wizard-2-users"));
    QCOMPARE(bob.ask(QStringLiteral("wizard finish")), QStringLiteral("ok"));
    QCOMPARE(waitForModal(bob, QStringLiteral("none")), QStringLiteral("none"));
    grab(bob, QStringLiteral("window"), QStringLiteral("bob-own-discs"));
}

void tst_FileSharingWindows::cleanupTestCase()
{
    for (auto *client : {&m_alice, &m_bob}) {
        if (client->isRunning())
            QVERIFY2(client->stop(), qPrintable(client->diagnostics()));
    }
}

QTEST_MAIN(tst_FileSharingWindows)
#include "tst_FileSharingWindows.moc"
