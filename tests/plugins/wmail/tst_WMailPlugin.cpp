// The built module as the host loads it.
#include "QtTestSuite.h"
#include "TestHost.h"
#include "WMailResources.h"
#include "WMailStructure.h"

#include <IWPlugin.h>
#include <PSettings.h>

#include <QPluginLoader>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

class tst_WMailPlugin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QTcpServer closed; // time questions go where nobody listens
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        PSettings::SetValue(QStringLiteral("service/port"), QString::number(closed.serverPort()));

        QVERIFY(m_dir.isValid());
        m_loader.setFileName(QStringLiteral(WIVORA_WMAIL_PLUGIN));
        QVERIFY2(m_loader.load(), qPrintable(m_loader.errorString()));
        m_plugin = qobject_cast<IWPlugin *>(m_loader.instance());
        QVERIFY(m_plugin);
        m_host = std::make_unique<TestHost>(m_dir.path(), QStringLiteral("bob"));
        QVERIFY(m_plugin->setHostInterface(m_host.get()));
    }

    void answers()
    {
        QCOMPARE(m_plugin->getPluginName(), QStringLiteral("WMail"));
        QCOMPARE(m_plugin->getPluginDisplayName(), QStringLiteral("Messages"));
        QCOMPARE(m_plugin->getPluginVersion(), 1000);
        QVERIFY(!m_plugin->getPluginIcon().isNull());
        QVERIFY(!m_plugin->getSettingsWidget());
        QVERIFY(m_plugin->getMainPluginWidget().isEmpty());
        QVERIFY(m_plugin->getDockWindows().isEmpty());
        QVERIFY(m_plugin->getPluginMenu().isEmpty());
        QVERIFY(m_plugin->getContactsContextMenu().isEmpty());
        QVERIFY(m_plugin->getQuickMenuActions().isEmpty());
        const QMap<QString, QWidget *> pages = m_plugin->getUserWidget();
        QCOMPARE(pages.keys(), QStringList{"chat"});
        QVERIFY(pages.value("chat"));
    }

    void windowIcons()
    {
        QWidget other;
        const QImage chat = m_plugin->getWindowIcon(m_plugin->getUserWidget().value("chat"));
        const QImage plugin = m_plugin->getPluginIcon();
        QCOMPARE(chat, QImage(":/icons/Resources/Chat.png"));
        QVERIFY(chat != plugin);
        QCOMPARE(m_plugin->getWindowIcon(nullptr), plugin);
        QCOMPARE(m_plugin->getWindowIcon(&other), plugin);
    }

    // The road the chat page takes when the user sends, as the end-to-end
    // harness calls it.
    void sendMessageThroughTheModule()
    {
        m_plugin->initPlugin();
        QCOMPARE(m_host->handlers().keys(), QStringList{"chat"});
        KvrConfig request, answer;
        request.sv("user", "alice");
        request.SetValue("data", QByteArray("hello"));
        QVERIFY(QMetaObject::invokeMethod(m_loader.instance(), "sendMessage", Q_RETURN_ARG(KvrConfig, answer),
                                          Q_ARG(KvrConfig, request)));
        QVERIFY(answer.checkResult());
        QVERIFY(WMailStructure::isValidId(answer.gv("id")));
        QCOMPARE(m_host->buffered().size(), 1);
        QCOMPARE(m_host->buffered().at(0).user, QStringLiteral("alice"));
        QVERIFY(QFileInfo(m_host->getPluginStoragePath("wmail") + "/alice.wml").isFile());
        m_plugin->closePlugin();
    }

    // Every picture the plug-in's actions and items name is compiled in: a
    // missing one leaves a blank button.
    void pictures_data()
    {
        QTest::addColumn<QString>("path");
        for (const char *path :
             {":/icons/Resources/wmail.png", ":/icons/Resources/Chat.png", ":/icons/Resources/chatblue.png",
              ":/icons/Resources/edit.png", ":/editor/Resources/bold.png", ":/editor/Resources/italic.png",
              ":/editor/Resources/alignleft.png", ":/editor/Resources/aligncenter.png",
              ":/editor/Resources/alignright.png", ":/editor/Resources/undo.png", ":/editor/Resources/redo.png",
              ":/fileseditor/Resources/attachment.png", ":/fileseditor/Resources/addfiles.png",
              ":/fileseditor/Resources/delete.png", ":/fileseditor/Resources/up.png",
              ":/photoalbum/Resources/photo.png", ":/photoalbum/Resources/Save.png"})
            QTest::newRow(path) << QString::fromLatin1(path);
    }
    void pictures()
    {
        QFETCH(QString, path);
        WMailResources::initialise();
        QVERIFY(!QImage(path).isNull());
    }

private:
    QTemporaryDir m_dir;
    QPluginLoader m_loader;
    IWPlugin *m_plugin = nullptr;
    std::unique_ptr<TestHost> m_host;
};

WIVORA_TEST_MAIN(tst_WMailPlugin)
#include "tst_WMailPlugin.moc"
