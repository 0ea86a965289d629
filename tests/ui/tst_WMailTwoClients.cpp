// Files and albums between two windowed clients with the messaging plug-in,
// each driven through the window-probe plug-in as its user would: alice sends
// bob three files and an album of five pictures through the chat page's
// editors; bob saves the files from his page and opens the album in the
// viewer; sent while bob is logged out, both reach him when he logs in.

#include "QtTestSuite.h"
#include "WindowFixture.h"
#include "WindowProbeClient.h"
#include "WindowedClient.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
// Logged out, bob gets what was buffered for him once the sender's wait for
// a direct acknowledgement ends and the server relays it.
const int DeliveryTimeoutMs = 240000;

} // namespace

class tst_WMailTwoClients : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice, Bob}, {{Alice, Bob}}), qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_folder.isValid());
        for (auto *client : {&m_alice, &m_bob}) {
            client->setMachineSettings(m_fixture.serviceSettings());
            QVERIFY(client->installPlugin(WindowFixture::probePlugin()));
            QVERIFY(client->installPlugin(QStringLiteral(WIVORA_WMAIL_PLUGIN)));
        }
        m_alice.rememberLogin(Alice, WindowFixture::passwordOf(Alice));
        m_bob.rememberLogin(Bob, WindowFixture::passwordOf(Bob));
        QVERIFY2(m_bob.start(), qPrintable(m_bob.diagnostics()));
        QVERIFY2(m_alice.start(), qPrintable(m_alice.diagnostics()));
        QVERIFY(openChat(m_alice, Bob));

        // Three files of different sizes, one empty, one binary over a
        // megabyte; five pictures of different shapes and formats.
        QByteArray binary(1500 * 1024, Qt::Uninitialized);
        for (int i = 0; i < binary.size(); ++i)
            binary[i] = char(quint32(i) * 2654435761u >> 24);
        const QList<QPair<QString, QByteArray>> files = {
            {QStringLiteral("notes.txt"), "three files for bob\n"}, {QStringLiteral("empty.dat"), QByteArray()},
            {QStringLiteral("data.bin"), binary}};
        for (const auto &file : files) {
            const QString path = m_folder.filePath(QStringLiteral("out/") + file.first);
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file.second);
            m_files.insert(file.first, file.second);
            m_filePaths << path;
        }
        const QList<QSize> sizes = {{1600, 400}, {400, 300}, {300, 900}, {800, 800}, {64, 48}};
        const char *formats[] = {"JPG", "PNG", "JPG", "BMP", "PNG"};
        for (int i = 0; i < sizes.size(); ++i) {
            QImage picture(sizes.at(i), QImage::Format_RGB32);
            picture.fill(QColor::fromHsv(i * 70, 200, 220));
            const QString path =
                m_folder.filePath(QStringLiteral("out/picture%1.%2").arg(i).arg(QString::fromLatin1(formats[i]).toLower()));
            QVERIFY(picture.save(path, formats[i]));
            m_picturePaths << path;
        }
    }

    void bobSavesTheFilesAndViewsTheAlbum()
    {
        QVERIFY(openChat(m_bob, Alice));
        WindowProbeClient alice(m_alice);
        WindowProbeClient bob(m_bob);
        QCOMPARE(alice.ask(QStringLiteral("files ") + m_filePaths.join(QLatin1Char('|'))), QStringLiteral("ok"));
        QCOMPARE(alice.ask(QStringLiteral("album ") + m_picturePaths.join(QLatin1Char('|'))), QStringLiteral("ok"));
        const QString both = QStringLiteral("files:1 albums:1");
        QCOMPARE(bob.waitFor(QStringLiteral("items"), [&](const QString &items) { return items == both; }, DeliveryTimeoutMs),
                 both);
        checkSaved(bob, QStringLiteral("saved-online"));
        QCOMPARE(bob.ask(QStringLiteral("viewer")), QStringLiteral("5"));
    }

    void bobGetsBothAfterHeLogsIn()
    {
        QVERIFY2(m_bob.stop(), qPrintable(m_bob.diagnostics()));
        WindowProbeClient alice(m_alice);
        QCOMPARE(alice.ask(QStringLiteral("files ") + m_filePaths.join(QLatin1Char('|'))), QStringLiteral("ok"));
        QCOMPARE(alice.ask(QStringLiteral("album ") + m_picturePaths.join(QLatin1Char('|'))), QStringLiteral("ok"));
        QVERIFY2(m_bob.start(), qPrintable(m_bob.diagnostics()));
        QVERIFY(openChat(m_bob, Alice));
        WindowProbeClient bob(m_bob);
        const QString both = QStringLiteral("files:2 albums:2");
        QCOMPARE(bob.waitFor(QStringLiteral("items"), [&](const QString &items) { return items == both; }, DeliveryTimeoutMs),
                 both);
        checkSaved(bob, QStringLiteral("saved-later"));
        QCOMPARE(bob.ask(QStringLiteral("viewer")), QStringLiteral("5"));
        QVERIFY2(m_bob.stop(), qPrintable(m_bob.diagnostics()));
        QVERIFY2(m_alice.stop(), qPrintable(m_alice.diagnostics()));
    }

private:
    // Shows the chat page with contact, as the user does from the contact list.
    bool openChat(WindowedClient &client, const QString &contact)
    {
        WindowProbeClient driver(client);
        return driver.waitFor(QStringLiteral("show ") + contact, [](const QString &answer) { return answer == QLatin1String("ok"); })
                   == QLatin1String("ok")
            && driver.ask(QStringLiteral("page chat")) == QLatin1String("ok");
    }

    // Bob saves the last files item into a new folder: the three files, each
    // byte for byte.
    void checkSaved(WindowProbeClient &bob, const QString &folderName)
    {
        const QString folder = m_folder.filePath(folderName);
        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(bob.ask(QStringLiteral("save ") + folder), QStringLiteral("3"));
        QStringList saved = QDir(folder).entryList(QDir::Files);
        saved.sort();
        QStringList sent = m_files.keys();
        sent.sort();
        QCOMPARE(saved, sent);
        for (const QString &name : sent) {
            QFile file(QDir(folder).filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY2(file.readAll() == m_files.value(name), qPrintable(name));
        }
    }

    WindowFixture m_fixture;
    QTemporaryDir m_folder;
    WindowedClient m_alice;
    WindowedClient m_bob;
    QMap<QString, QByteArray> m_files;
    QStringList m_filePaths;
    QStringList m_picturePaths;
};

WIVORA_TEST_MAIN(tst_WMailTwoClients)
#include "tst_WMailTwoClients.moc"
