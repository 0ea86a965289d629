#include "QtTestSuite.h"
#include <IWPlugin.h>

#include <QFile>
#include <QPluginLoader>
#include <QTemporaryDir>
#include <QtTest>

class tst_PluginInterface : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
};

void tst_PluginInterface::load_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<QString>("pluginName"); // empty: no IWPlugin

    QTest::newRow("plug-in with the interface") << FIXTURE_PLUGIN_FILE << true << "Fixture";
    QTest::newRow("plug-in of another kind") << FOREIGN_PLUGIN_FILE << true << "";
    QTest::newRow("shared library, no plug-in") << PLAIN_LIBRARY_FILE << false << "";
    QTest::newRow("text file") << "text" << false << "";
    QTest::newRow("missing file") << "missing" << false << "";
}

void tst_PluginInterface::load()
{
    QFETCH(QString, file);
    QFETCH(bool, loads);
    QFETCH(QString, pluginName);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (file == QLatin1String("text")) {
        file = dir.filePath(QStringLiteral("libnotaplugin.so"));
        QFile text(file);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not a library\n");
    } else if (file == QLatin1String("missing")) {
        file = dir.filePath(QStringLiteral("libmissing.so"));
    }

    QPluginLoader loader(file);
    QObject *instance = loader.instance();
    QCOMPARE(instance != nullptr, loads);

    IWPlugin *plugin = qobject_cast<IWPlugin *>(instance);
    QCOMPARE(plugin != nullptr, !pluginName.isEmpty());
    if (!plugin)
        return;
    QCOMPARE(plugin->getPluginName(), pluginName);
    QCOMPARE(plugin->getPluginVersion(), 1234);
}

WIVORA_TEST_GUILESS_MAIN(tst_PluginInterface)
#include "tst_PluginInterface.moc"
