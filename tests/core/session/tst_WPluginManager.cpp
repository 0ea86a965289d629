#include "QtTestSuite.h"
#include "EchoFixture.h"
#include "EchoProbe.h"
#include "WPluginManager.h"

#include <IWHost.h>
#include <IWPlugin.h>
#include <PSettings.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A host that only has to be a distinct pointer: the loader hands it over
// and the plug-ins keep it.
class IdleHost : public IWHost
{
public:
    QSharedPointer<WivoraAccount> getAccount() override { return {}; }
    void sendCommand(const KvrConfig &, const QString &, bool, const QString &) override {}
    void sendServerCommand(const KvrConfig &) override {}
    QString openUserConnection(const QString &, bool) override { return {}; }
    void closeConnection(const QString &) override {}
    bool isConnectionActive(const QString &) override { return false; }
    bool hasUserConnection(const QString &, bool) override { return false; }
    IWSignalDispatcher *getSignalDispatcher() override { return nullptr; }
    void registerActivityHandler(const QString &, const QByteArray &) override {}
    void setUserActivity(const QString &, const QString &, bool) override {}
    void saveAccount() override {}
    KvrConfig takeInputCommand(const QString &) override { return {}; }
    QSharedPointer<TcpConnection> getServerConnection() override { return {}; }
    QString getPluginStoragePath(const QString &) override { return {}; }
    QStringList getSelectedContacts() override { return {}; }
    bool queueExchangeCommand(const QString &, const KvrConfig &) override { return true; }
    void bufferCommand(const QString &, const KvrConfig &) override {}
    void displayActivityNotification(const QString &) override {}
    bool isUserAccepted(const QString &) override { return false; }
    KvrConfig waitInputCommand(const QString &, int) override { return {}; }
    KvrConfig peekInputCommand(const QString &) override { return {}; }
};

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// "name=content" for every file of the folder (hidden ones too) and "name/"
// for every sub-folder, in name order.
QStringList folderContents(const QString &folder)
{
    QStringList contents;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            contents << entry.fileName() + QLatin1Char('/');
            continue;
        }
        QFile file(entry.absoluteFilePath());
        file.open(QIODevice::ReadOnly);
        contents << entry.fileName() + QLatin1Char('=') + QString::fromUtf8(file.readAll());
    }
    return contents;
}

QList<EchoProbe *> probesOf(const QList<PluginRecord> &records)
{
    QList<EchoProbe *> probes;
    for (const PluginRecord &record : records)
        probes << qobject_cast<EchoProbe *>(record.instance);
    return probes;
}

int callsOf(EchoProbe *probe, const QString &name)
{
    int count = 0;
    for (const EchoEvent &event : probe->events())
        count += event.kind == EchoEvent::Call && event.name == name;
    return count;
}

} // namespace

class tst_WPluginManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void stagedChanges_data();
    void stagedChanges();
    void failedCopyKeepsStagedFile();
    void loadsInNameOrderAndHandsOverHost();
    void missingPluginsFolderLoadsNothing();
    void isPluginLoaded_data();
    void isPluginLoaded();
    void findPluginFile_data();
    void findPluginFile();

private:
    // Fresh storage root and machine settings for every test function.
    QScopedPointer<QTemporaryDir> m_home;
    IdleHost m_host;
};

void tst_WPluginManager::init()
{
    m_home.reset(new QTemporaryDir);
    QVERIFY(m_home->isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home->filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home->filePath(QStringLiteral("config"))));
}

void tst_WPluginManager::cleanup()
{
    m_home.reset();
}

void tst_WPluginManager::stagedChanges_data()
{
    QTest::addColumn<QStringList>("installed"); // files in "plugins" before the start
    QTest::addColumn<QStringList>("staged");    // files in "update" ("name/" a folder)
    QTest::addColumn<QString>("toRemove");      // the machine setting "pluginstoremove"
    QTest::addColumn<QStringList>("pluginsAfter");
    QTest::addColumn<QStringList>("updateAfter");

    QTest::newRow("new staged plug-in is installed")
        << QStringList() << QStringList{"libwftp.so"} << QString()
        << QStringList{"libwftp.so=staged"} << QStringList();
    QTest::newRow("staged update replaces the installed plug-in")
        << QStringList{"libwmail.so", "libwftp.so"} << QStringList{"libwmail.so"} << QString()
        << QStringList{"libwftp.so=installed", "libwmail.so=staged"} << QStringList();
    QTest::newRow("installer in lower case is deleted, not installed")
        << QStringList() << QStringList{"wivora-setup.bin"} << QString()
        << QStringList() << QStringList();
    QTest::newRow("capitalised Setup is installed")
        << QStringList() << QStringList{"WivoraSetup.bin"} << QString()
        << QStringList{"WivoraSetup.bin=staged"} << QStringList();
    QTest::newRow("folders in update stay")
        << QStringList() << QStringList{"parts/", "libecho.so"} << QString()
        << QStringList{"libecho.so=staged"} << QStringList{"parts/"};
    QTest::newRow("removal with trailing separators removes the first match only")
        << QStringList{"libwftp.so", "wftp-extra.so", "libwmail.so"} << QStringList() << QStringLiteral("wftp||")
        << QStringList{"libwmail.so=installed", "wftp-extra.so=installed"} << QStringList();
    QTest::newRow("removal matches case-insensitively, several names")
        << QStringList{"LibWftp.so", "libwmail.so", "other.so"} << QStringList() << QStringLiteral("WFTP|wmail|")
        << QStringList{"other.so=installed"} << QStringList();
    QTest::newRow("removal never picks a file named setup")
        << QStringList{"wftp-setup.so", "libwftp.so"} << QStringList() << QStringLiteral("wftp|")
        << QStringList{"wftp-setup.so=installed"} << QStringList();
    QTest::newRow("unknown name and empty parts remove nothing")
        << QStringList{"libwftp.so"} << QStringList() << QStringLiteral("|nothing||")
        << QStringList{"libwftp.so=installed"} << QStringList();
    QTest::newRow("staged install is applied before the removals")
        << QStringList() << QStringList{"libwftp.so"} << QStringLiteral("wftp|")
        << QStringList() << QStringList();
}

void tst_WPluginManager::stagedChanges()
{
    QFETCH(QStringList, installed);
    QFETCH(QStringList, staged);
    QFETCH(QString, toRemove);
    QFETCH(QStringList, pluginsAfter);
    QFETCH(QStringList, updateAfter);

    for (const QString &name : installed)
        writeFile(WPluginManager::pluginsFolder() + QLatin1Char('/') + name, "installed");
    QDir().mkpath(WPluginManager::updateFolder());
    for (const QString &name : staged) {
        if (name.endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(WPluginManager::updateFolder() + QLatin1Char('/') + name));
        else
            writeFile(WPluginManager::updateFolder() + QLatin1Char('/') + name, "staged");
    }
    if (!toRemove.isNull())
        PSettings::SetValue(QStringLiteral("pluginstoremove"), toRemove);

    WPluginManager manager;
    manager.setHost(&m_host);
    manager.loadPlugins();

    QCOMPARE(folderContents(WPluginManager::pluginsFolder()), pluginsAfter);
    QCOMPARE(folderContents(WPluginManager::updateFolder()), updateAfter);
    QVERIFY(PSettings::GetValue(QStringLiteral("pluginstoremove")).toString().isEmpty());
    // None of these files is a plug-in.
    QVERIFY(manager.plugins().isEmpty());
}

void tst_WPluginManager::failedCopyKeepsStagedFile()
{
    // A file where the "plugins" folder should be: no copy can succeed.
    writeFile(WPluginManager::pluginsFolder(), "not a folder");
    writeFile(WPluginManager::updateFolder() + QStringLiteral("/libwftp.so"), "staged");
    writeFile(WPluginManager::updateFolder() + QStringLiteral("/wivora-setup.bin"), "installer");

    WPluginManager manager;
    manager.loadPlugins();

    QCOMPARE(folderContents(WPluginManager::updateFolder()), QStringList{"libwftp.so=staged"});
    QVERIFY(manager.plugins().isEmpty());
}

void tst_WPluginManager::loadsInNameOrderAndHandsOverHost()
{
    const QString plugins = WPluginManager::pluginsFolder();
    QVERIFY(QDir().mkpath(plugins));
    QVERIFY(QDir().mkpath(WPluginManager::updateFolder()));
    QVERIFY(copyEchoPlugin(plugins + QStringLiteral("/b-echo.so")));
    QVERIFY(copyEchoPlugin(plugins + QStringLiteral("/C-echo.so")));
    QVERIFY(copyEchoPlugin(plugins + QStringLiteral("/.hidden-echo.so")));
    // Staged at this start, loaded at this start.
    QVERIFY(copyEchoPlugin(WPluginManager::updateFolder() + QStringLiteral("/A-echo.so")));
    writeFile(plugins + QStringLiteral("/a-notes.txt"), "no library");
    writeFile(plugins + QStringLiteral("/broken.so"), "\x7f" "ELF damaged");

    WPluginManager manager;
    manager.setHost(&m_host);
    manager.loadPlugins();

    const QList<PluginRecord> records = manager.plugins();
    QStringList paths;
    for (const PluginRecord &record : records) {
        paths << record.path;
        QCOMPARE(record.name, QStringLiteral("echo"));
        QVERIFY(!record.icon.isNull());
    }
    QCOMPARE(paths, (QStringList{plugins + "/A-echo.so", plugins + "/b-echo.so", plugins + "/C-echo.so"}));

    const QList<EchoProbe *> probes = probesOf(records);
    QCOMPARE(QSet<EchoProbe *>(probes.cbegin(), probes.cend()).size(), 3); // one instance per library file
    for (EchoProbe *probe : probes) {
        QVERIFY(probe);
        QCOMPARE(probe->host(), &m_host);
        QCOMPARE(callsOf(probe, QStringLiteral("setHostInterface")), 1);
    }

    manager.clearPlugins();
    QVERIFY(manager.plugins().isEmpty());
    QVERIFY(!manager.isPluginLoaded(QStringLiteral("echo")));
}

void tst_WPluginManager::missingPluginsFolderLoadsNothing()
{
    // A plug-in lying in the storage folder itself is not one to load.
    QVERIFY(QDir().mkpath(PSettings::GetStoragePath()));
    QVERIFY(copyEchoPlugin(PSettings::GetStoragePath(QStringLiteral("/echo.so"))));

    WPluginManager manager;
    manager.setHost(&m_host);
    manager.loadPlugins();

    QVERIFY(manager.plugins().isEmpty());
    QVERIFY(!QFileInfo::exists(WPluginManager::pluginsFolder()));
}

void tst_WPluginManager::isPluginLoaded_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("loaded");

    QTest::newRow("exact name") << QStringLiteral("echo") << true;
    QTest::newRow("differs in case") << QStringLiteral("Echo") << false;
    QTest::newRow("prefix only") << QStringLiteral("ech") << false;
    QTest::newRow("empty") << QString() << false;
}

void tst_WPluginManager::isPluginLoaded()
{
    QFETCH(QString, name);
    QFETCH(bool, loaded);

    WPluginManager manager;
    QVERIFY(!manager.isPluginLoaded(name)); // nothing loaded yet
    QVERIFY(QDir().mkpath(WPluginManager::pluginsFolder()));
    QVERIFY(copyEchoPlugin(WPluginManager::pluginsFolder() + QStringLiteral("/libecho.so")));
    manager.setHost(&m_host);
    manager.loadPlugins();

    QCOMPARE(manager.isPluginLoaded(name), loaded);
}

void tst_WPluginManager::findPluginFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("found"); // file name in "plugins", empty for none

    QTest::newRow("first match in name order") << QStringLiteral("wftp") << QStringLiteral("Libwftp.so");
    QTest::newRow("case ignored") << QStringLiteral("WFtp") << QStringLiteral("Libwftp.so");
    QTest::newRow("hidden file found") << QStringLiteral("wmail") << QStringLiteral(".wmail.so");
    QTest::newRow("setup never found") << QStringLiteral("tool-setup") << QString();
    QTest::newRow("no match") << QStringLiteral("chat") << QString();
    QTest::newRow("empty name matches nothing") << QString() << QString();
}

void tst_WPluginManager::findPluginFile()
{
    QFETCH(QString, name);
    QFETCH(QString, found);

    const QString plugins = WPluginManager::pluginsFolder();
    writeFile(plugins + QStringLiteral("/Libwftp.so"), "x");
    writeFile(plugins + QStringLiteral("/wftp-plus.so"), "x");
    writeFile(plugins + QStringLiteral("/.wmail.so"), "x");
    writeFile(plugins + QStringLiteral("/wmail.so"), "x");
    writeFile(plugins + QStringLiteral("/tool-setup.so"), "x");
    // A symbolic link sorting first is not a plug-in file.
    QVERIFY(QFile::link(plugins + QStringLiteral("/Libwftp.so"), plugins + QStringLiteral("/.aa-wftp-wmail.so")));

    WPluginManager manager;
    QCOMPARE(manager.findPluginFile(name), found.isEmpty() ? QString() : plugins + QLatin1Char('/') + found);
}

WIVORA_TEST_GUILESS_MAIN(tst_WPluginManager)
#include "tst_WPluginManager.moc"
