#include "QtTestSuite.h"
#include <PSettings.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QPoint>
#include <QSaveFile>
#include <QSize>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>
#include <vector>

class tst_PSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();
    void absentAndRemovedKeys();
    void valueAndGroupShareAName();
    void writesReachTheFileAtOnce();
    void readsSeeAnotherWriter();
    void fileIsOwnerOnly();
    void concurrentWriters();
    void storagePath_data();
    void storagePath();

private:
    QTemporaryDir m_config;
    QTemporaryDir m_data;
};

void tst_PSettings::initTestCase()
{
    QVERIFY(m_config.isValid());
    QVERIFY(m_data.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data.path()));
    QCOMPARE(PSettings::GetSettingsFolder(), m_config.path() + "/wivora");
}

void tst_PSettings::roundTrip_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("text") << "mainserverip" << QVariant(QStringLiteral("127.0.0.1"));
    QTest::newRow("text with separators") << "pluginstoremove" << QVariant(QStringLiteral("wftp|wmail|"));
    QTest::newRow("non-Latin text") << "settings/username" << QVariant(QStringLiteral("Łódź żółw"));
    QTest::newRow("empty text") << "settings/password" << QVariant(QString());
    QTest::newRow("bool") << "settings/rememberMe" << QVariant(true);
    QTest::newRow("date-time") << "lastAccountSaveTime"
                               << QVariant(QDateTime(QDate(2024, 5, 1), QTime(10, 15, 30)));
    QTest::newRow("size") << "mainwindow/size" << QVariant(QSize(800, 600));
    QTest::newRow("point") << "mainwindow/position" << QVariant(QPoint(-20, 40));
    QTest::newRow("binary bytes") << "blob" << QVariant(QByteArray("\0\x01\xff=\n[x]", 8));
}

void tst_PSettings::roundTrip()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);

    PSettings::SetValue(key, value);
    const QVariant back = PSettings::GetValue(key);
    if (value.type() == QVariant::Bool)
        QCOMPARE(back.toBool(), value.toBool());
    else if (value.type() == QVariant::String)
        QCOMPARE(back.toString(), value.toString());
    else
        QCOMPARE(back, value);
}

void tst_PSettings::absentAndRemovedKeys()
{
    QVERIFY(!PSettings::GetValue("never/written").isValid());
    QCOMPARE(PSettings::GetValue("never/written").toString(), QString());

    PSettings::SetValue("temporary", "x");
    PSettings::RemoveValue("temporary");
    QVERIFY(!PSettings::GetValue("temporary").isValid());
}

void tst_PSettings::valueAndGroupShareAName()
{
    PSettings::SetValue("window", "1");
    PSettings::SetValue("window/state", QByteArray("\x01\x02", 2));
    QCOMPARE(PSettings::GetValue("window").toString(), QString("1"));
    QCOMPARE(PSettings::GetValue("window/state").toByteArray(), QByteArray("\x01\x02", 2));
}

// Another process reads the file, not this process's cache.
void tst_PSettings::writesReachTheFileAtOnce()
{
    PSettings::SetValue("flushed", "visible-on-disk");
    QFile file(PSettings::GetSettingsFolder() + "/wivoraclient.ini");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("flushed=visible-on-disk"));
}

void tst_PSettings::readsSeeAnotherWriter()
{
    PSettings::SetValue("shared", "mine");
    QCOMPARE(PSettings::GetValue("shared").toString(), QString("mine"));

    // What another process's save does: replace the file as a whole.
    QSaveFile file(PSettings::GetSettingsFolder() + "/wivoraclient.ini");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nshared=written by another program\n");
    QVERIFY(file.commit());

    QCOMPARE(PSettings::GetValue("shared").toString(), QString("written by another program"));
}

void tst_PSettings::fileIsOwnerOnly()
{
    PSettings::SetValue("settings/password", "secret");
    const QFileInfo info(PSettings::GetSettingsFolder() + "/wivoraclient.ini");
    QCOMPARE(info.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
             QFile::Permissions());
}

void tst_PSettings::concurrentWriters()
{
    constexpr int threadCount = 8;
    constexpr int keysPerThread = 40;
    std::vector<std::thread> writers;
    for (int t = 0; t < threadCount; ++t) {
        writers.emplace_back([t] {
            for (int k = 0; k < keysPerThread; ++k) {
                const QString key = QStringLiteral("concurrent/t%1/k%2").arg(t).arg(k);
                PSettings::SetValue(key, k);
                PSettings::GetValue(QStringLiteral("concurrent/t%1/k0").arg((t + 1) % threadCount));
            }
        });
    }
    for (std::thread &writer : writers)
        writer.join();

    for (int t = 0; t < threadCount; ++t) {
        for (int k = 0; k < keysPerThread; ++k) {
            const QString key = QStringLiteral("concurrent/t%1/k%2").arg(t).arg(k);
            QCOMPARE(PSettings::GetValue(key).toInt(), k);
        }
    }
}

void tst_PSettings::storagePath_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("expectedBelowRoot");

    QTest::newRow("leading slash") << "/pluginsstorage/alice/account.acc" << "/pluginsstorage/alice/account.acc";
    QTest::newRow("no leading slash") << "update" << "/update";
    QTest::newRow("doubled slash") << "//plugins" << "/plugins";
    QTest::newRow("root itself") << "" << "";
    QTest::newRow("only a slash") << "/" << "";
}

void tst_PSettings::storagePath()
{
    QFETCH(QString, relative);
    QFETCH(QString, expectedBelowRoot);

    QCOMPARE(PSettings::GetStoragePath(relative), m_data.path() + "/wivora" + expectedBelowRoot);
}

WIVORA_TEST_GUILESS_MAIN(tst_PSettings)
#include "tst_PSettings.moc"
