#include "QtTestSuite.h"
#include <PSettings.h>
#include <ServiceSettings.h>

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The program and the plug-ins read where the service lives through this one
// accessor, so its defaults and its clean-up of typed addresses matter to both.
class tst_ServiceSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void values_data();
    void values();

private:
    QTemporaryDir m_config;
    QTemporaryDir m_data;
};

void tst_ServiceSettings::initTestCase()
{
    QVERIFY(m_config.isValid());
    QVERIFY(m_data.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data.path()));
}

void tst_ServiceSettings::init()
{
    for (const char *key : {"service/domain", "service/port", "service/accountsite", "service/publicsite"})
        PSettings::RemoveValue(QString::fromLatin1(key));
}

void tst_ServiceSettings::values_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("expected");

    QTest::newRow("domain unset") << "service/domain" << QVariant() << "127.0.0.1";
    QTest::newRow("domain set") << "service/domain" << QVariant(" wivora.test ") << "wivora.test";
    QTest::newRow("port unset") << "service/port" << QVariant() << "2004";
    QTest::newRow("port set") << "service/port" << QVariant("40123") << "40123";
    QTest::newRow("account site unset") << "service/accountsite" << QVariant() << "http://127.0.0.1:8080";
    QTest::newRow("public site unset") << "service/publicsite" << QVariant() << "http://127.0.0.1:8080";
    QTest::newRow("public site blank") << "service/publicsite" << QVariant("  ") << "http://127.0.0.1:8080";
    QTest::newRow("public site with slashes") << "service/publicsite" << QVariant("http://files.test:81//")
                                              << "http://files.test:81";
    QTest::newRow("account site set") << "service/accountsite" << QVariant("https://my.test")
                                      << "https://my.test";
}

void tst_ServiceSettings::values()
{
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(QString, expected);

    if (stored.isValid())
        PSettings::SetValue(key, stored);
    const QHash<QString, QString> read{{QStringLiteral("service/domain"), ServiceSettings::domain()},
                                       {QStringLiteral("service/port"), ServiceSettings::port()},
                                       {QStringLiteral("service/accountsite"), ServiceSettings::accountSite()},
                                       {QStringLiteral("service/publicsite"), ServiceSettings::publicSite()}};
    QCOMPARE(read.value(key), expected);
}

WIVORA_TEST_GUILESS_MAIN(tst_ServiceSettings)
#include "tst_ServiceSettings.moc"
