// The plug-in dialog against a real server's catalogue and downloads, with
// the window-probe plug-in loaded ("Probe"), and the download helper it uses
// against real sockets: what is staged, what is refused, time-outs, cancel.

#include "QtTestSuite.h"
#include "SessionPanelFixture.h"
#include "StagedDownload.h"
#include "WPluginManager.h"
#include "uiManagePlugins.h"

#include <PSettings.h>

#include <QAbstractButton>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QtConcurrent>

namespace {

const QString Alice = QStringLiteral("alice");
const QString RemovalSetting = QStringLiteral("pluginstoremove");

// Answers every message box with its default button and keeps the texts.
class MessageBoxWatcher : public QObject
{
public:
    MessageBoxWatcher()
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
            }
        });
        m_poll.start(10);
    }
    QStringList texts;

private:
    QTimer m_poll;
};

QStringList stagedFiles()
{
    return QDir(WPluginManager::updateFolder()).entryList(QDir::Files, QDir::Name);
}

} // namespace

class tst_uiManagePlugins : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice}), qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        MainClass::instance()->pluginManager()->loadPlugins();
        QVERIFY(MainClass::instance()->pluginManager()->isPluginLoaded(QStringLiteral("Probe")));
        const QDir data(m_fixture.sessions.server.dataDir());
        QVERIFY(data.mkpath(QStringLiteral("downloads")));
        for (const QString &file : {QStringLiteral("libalpha.so"), QStringLiteral("libbeta.so"), QStringLiteral("libprobe.so")}) {
            QFile served(data.filePath(QStringLiteral("downloads/") + file));
            QVERIFY(served.open(QIODevice::WriteOnly));
            served.write("bytes of " + file.toLatin1());
        }
        QFile catalogue(data.filePath(QStringLiteral("catalogue.ini")));
        QVERIFY(catalogue.open(QIODevice::WriteOnly));
        catalogue.write("[plugins]\nsize=4\n"
                        "1\\name=Probe\n1\\platform=linux\n1\\version=1\n1\\description=The probe\n1\\file=libprobe.so\n"
                        "2\\name=Alpha\n2\\platform=linux\n2\\version=1\n2\\description=First\n2\\file=libalpha.so\n"
                        "3\\name=Beta\n3\\platform=linux\n3\\version=1\n3\\description=Second\n3\\file=libbeta.so\n"
                        "4\\name=Gone\n4\\platform=linux\n4\\version=1\n4\\description=Not served\n4\\file=libgone.so\n");
        catalogue.close();
        QVERIFY(MainClass::instance()->login(Alice, WindowFixture::passwordOf(Alice)));
    }
    void cleanupTestCase() { MainClass::instance()->logout(); }
    void init()
    {
        QDir(WPluginManager::updateFolder()).removeRecursively();
        PSettings::SetValue(RemovalSetting, QStringLiteral("unchanged|"));
    }

    void listsCatalogue()
    {
        uiManagePlugins dialog;
        dialog.fillPluginList();
        QTreeWidget *tree = dialog.pluginTree();
        QCOMPARE(tree->topLevelItemCount(), 4);
        const QStringList names = {QStringLiteral("Probe"), QStringLiteral("Alpha"), QStringLiteral("Beta"), QStringLiteral("Gone")};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(tree->topLevelItem(i)->text(0), names.at(i));
            QCOMPARE(tree->topLevelItem(i)->checkState(0), i == 0 ? Qt::Checked : Qt::Unchecked);
        }
        QCOMPARE(tree->topLevelItem(1)->text(1), QStringLiteral("First"));
    }

    // Which boxes end up checked, and what OK stages, stores and says.
    void ok_data()
    {
        QTest::addColumn<QStringList>("checked");
        QTest::addColumn<QStringList>("staged");
        QTest::addColumn<QString>("removals");
        QTest::addColumn<QStringList>("messages");
        const QString restart = QStringLiteral("Restart Wivora to apply changes");
        QTest::newRow("two new plug-ins") << QStringList{QStringLiteral("Probe"), QStringLiteral("Alpha"), QStringLiteral("Beta")}
                                          << QStringList{QStringLiteral("libalpha.so"), QStringLiteral("libbeta.so")}
                                          << QString() << QStringList{restart};
        QTest::newRow("loaded one unchecked") << QStringList() << QStringList() << QStringLiteral("Probe|")
                                              << QStringList{restart};
        QTest::newRow("not served") << QStringList{QStringLiteral("Probe"), QStringLiteral("Gone")} << QStringList() << QString()
                                    << QStringList{QStringLiteral("The plugin Gone could not be downloaded."), restart};
    }
    void ok()
    {
        QFETCH(QStringList, checked);
        QFETCH(QStringList, staged);
        QFETCH(QString, removals);
        QFETCH(QStringList, messages);
        uiManagePlugins dialog;
        dialog.fillPluginList();
        QTreeWidget *tree = dialog.pluginTree();
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            tree->topLevelItem(i)->setCheckState(0, checked.contains(tree->topLevelItem(i)->text(0)) ? Qt::Checked : Qt::Unchecked);
        MessageBoxWatcher boxes;
        dialog.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(stagedFiles(), staged);
        for (const QString &file : staged) {
            QFile stagedFile(WPluginManager::updateFolder() + QLatin1Char('/') + file);
            QVERIFY(stagedFile.open(QIODevice::ReadOnly));
            QCOMPARE(stagedFile.readAll(), "bytes of " + file.toLatin1());
        }
        QCOMPARE(PSettings::GetValue(RemovalSetting).toString(), removals);
        QCOMPARE(boxes.texts, messages);
    }

    void nothingChangedSaysNothing()
    {
        PSettings::SetValue(RemovalSetting, QString());
        uiManagePlugins dialog;
        dialog.fillPluginList();
        MessageBoxWatcher boxes;
        dialog.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
        QCOMPARE(boxes.texts, QStringList());
        QCOMPARE(PSettings::GetValue(RemovalSetting).toString(), QString());
    }

    void cancelLeavesEverything()
    {
        uiManagePlugins dialog;
        dialog.fillPluginList();
        for (int i = 0; i < dialog.pluginTree()->topLevelItemCount(); ++i)
            dialog.pluginTree()->topLevelItem(i)->setCheckState(0, i == 0 ? Qt::Unchecked : Qt::Checked);
        dialog.findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(stagedFiles(), QStringList());
        QCOMPARE(PSettings::GetValue(RemovalSetting).toString(), QStringLiteral("unchanged|"));
    }

    // Escape or closing the window while OK downloads ends the download and
    // applies nothing; OK cannot be pressed again meanwhile.
    void leavingDuringDownloadAppliesNothing_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("escape") << true;
        QTest::newRow("window closed") << false;
    }
    void leavingDuringDownloadAppliesNothing()
    {
        QFETCH(bool, escape);
        // Takes the download's connection and never answers.
        QTcpServer stalled;
        QVERIFY(stalled.listen(QHostAddress::LocalHost));
        uiManagePlugins dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.fillPluginList();
        QTreeWidget *tree = dialog.pluginTree();
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            QTreeWidgetItem *item = tree->topLevelItem(i);
            const bool alpha = item->text(0) == QLatin1String("Alpha");
            // Probe unchecked: a removal that must not be recorded either.
            item->setCheckState(0, alpha ? Qt::Checked : Qt::Unchecked);
            if (alpha)
                item->setData(0, Qt::UserRole + 1, QStringLiteral("http://127.0.0.1:%1/libalpha.so").arg(stalled.serverPort()));
        }
        auto *ok = dialog.findChild<QPushButton *>(QStringLiteral("pushButton"));
        bool okDisabledDuringDownload = false;
        bool clickedAgain = false;
        connect(&stalled, &QTcpServer::newConnection, this, [&] {
            okDisabledDuringDownload = !ok->isEnabled();
            // A second press while waiting is refused.
            QTest::mouseClick(ok, Qt::LeftButton);
            clickedAgain = true;
            if (escape)
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else
                dialog.close();
        });
        MessageBoxWatcher boxes;
        QTest::mouseClick(ok, Qt::LeftButton);

        QVERIFY(clickedAgain);
        QVERIFY(okDisabledDuringDownload);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
        QCOMPARE(stagedFiles(), QStringList());
        QCOMPARE(PSettings::GetValue(RemovalSetting).toString(), QStringLiteral("unchanged|"));
        QCOMPARE(boxes.texts, QStringList());
    }

    void fileNameOf_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << QStringLiteral("http://h/files/libwftp.so") << QStringLiteral("libwftp.so");
        QTest::newRow("query dropped") << QStringLiteral("http://h/files/libwftp.so?x=1") << QStringLiteral("libwftp.so");
        QTest::newRow("trailing slash") << QStringLiteral("http://h/files/") << QString();
        QTest::newRow("no path") << QStringLiteral("http://h") << QString();
        QTest::newRow("dot dot") << QStringLiteral("http://h/files/..") << QString();
        QTest::newRow("encoded slash") << QStringLiteral("http://h/files/a%2Fb.so") << QStringLiteral("b.so");
        QTest::newRow("encoded backslash") << QStringLiteral("http://h/files/..%5Cb.so") << QString();
    }
    void fileNameOf()
    {
        QFETCH(QString, address);
        QFETCH(QString, name);
        QCOMPARE(StagedDownload::fileNameOf(QUrl(address)), name);
    }

    // Only a complete 200 answer with a body is staged; anything else leaves
    // no file, not even a partial one.
    void download_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("result");
        QTest::newRow("200 with body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello")
                                       << int(StagedDownload::Result::Staged);
        QTest::newRow("404") << QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found")
                             << int(StagedDownload::Result::Failed);
        QTest::newRow("200 empty") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                                   << int(StagedDownload::Result::Failed);
        QTest::newRow("cut short") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 50\r\nConnection: close\r\n\r\nhalf")
                                   << int(StagedDownload::Result::Failed);
        QTest::newRow("stalled") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nsome") << int(StagedDownload::Result::Failed);
    }
    void download()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, result);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> held;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = server.nextPendingConnection();
            held << socket;
            connect(socket, &QTcpSocket::readyRead, socket, [socket, answer] {
                socket->readAll();
                socket->write(answer);
                // A stalled answer keeps the connection open and sends nothing more.
                if (answer.contains("Connection: close"))
                    socket->disconnectFromHost();
            });
        });
        QTemporaryDir folder;
        const QString target = folder.filePath(QStringLiteral("libx.so"));
        StagedDownload download;
        const auto outcome = download.fetch(QUrl(QStringLiteral("http://127.0.0.1:%1/files/libx.so").arg(server.serverPort())),
                                            target, 500);
        QCOMPARE(int(outcome), result);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), result == int(StagedDownload::Result::Staged)
                                                                          ? QStringList{QStringLiteral("libx.so")}
                                                                          : QStringList());
    }

    // Cancelled from another thread (a logout), a stalled download ends at
    // once, long before its time-out, with nothing written.
    void cancelEndsAtOnce()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTemporaryDir folder;
        StagedDownload download;
        QElapsedTimer clock;
        clock.start();
        QtConcurrent::run([&download] {
            QThread::msleep(200);
            download.cancel();
        });
        const auto outcome = download.fetch(QUrl(QStringLiteral("http://127.0.0.1:%1/x.so").arg(server.serverPort())),
                                            folder.filePath(QStringLiteral("x.so")), 60000);
        QCOMPARE(int(outcome), int(StagedDownload::Result::Cancelled));
        QVERIFY(clock.elapsed() < 30000);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

private:
    WindowFixture m_fixture;
};

WIVORA_TEST_MAIN(tst_uiManagePlugins)
#include "tst_uiManagePlugins.moc"
