// The settings dialog and the program's own page in a real session: pages
// in order, the page shown per entry, and what the port field stores.

#include "QtTestSuite.h"
#include "SessionPanelFixture.h"
#include "SettingsDialog.h"
#include "uiMainSettings.h"

#include <WDataStructure.h>
#include <WivoraAccount.h>

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>

namespace {

const QString Alice = QStringLiteral("alice");

QByteArray storedPort()
{
    return MainClass::instance()->getAccount()->settingsData->getSetting(QStringLiteral("servers/tcpport"));
}

} // namespace

class tst_SettingsDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice}), qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        QVERIFY(MainClass::instance()->login(Alice, WindowFixture::passwordOf(Alice)));
    }
    void cleanupTestCase() { MainClass::instance()->logout(); }

    void pagesFollowEntries()
    {
        SettingsDialog dialog;
        auto *first = new QLabel(QStringLiteral("one"));
        auto *second = new QLabel(QStringLiteral("two"));
        dialog.addPage(first, QIcon(), QStringLiteral("Main"));
        dialog.addPage(second, QIcon(), QStringLiteral("WFtp"));
        QListWidget *list = dialog.contentsList();
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(1)->text(), QStringLiteral("WFtp"));
        QCOMPARE(list->item(1)->flags(), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        list->setCurrentRow(1);
        QCOMPARE(dialog.pages()->currentWidget(), second);
        list->setCurrentRow(0);
        QCOMPARE(dialog.pages()->currentWidget(), first);
        // With no current entry, the previous one's page stays.
        dialog.changePage(nullptr, list->item(1));
        QCOMPARE(dialog.pages()->currentWidget(), second);
    }

    // Only a port a server can listen on is stored (and saved); anything
    // else leaves the stored value.
    void portField_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("a port") << QStringLiteral("2345") << QByteArray("2345");
        QTest::newRow("highest port") << QStringLiteral("65535") << QByteArray("65535");
        QTest::newRow("zero") << QStringLiteral("0") << QByteArray("1600");
        QTest::newRow("not a number") << QStringLiteral("port") << QByteArray("1600");
        QTest::newRow("empty") << QString() << QByteArray("1600");
        QTest::newRow("negative") << QStringLiteral("-5") << QByteArray("1600");
        QTest::newRow("too high") << QStringLiteral("70000") << QByteArray("1600");
    }
    void portField()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, stored);
        MainClass::instance()->getAccount()->settingsData->setSetting(QStringLiteral("servers/tcpport"), "1600");
        uiMainSettings page;
        page.loadSettings();
        auto *field = page.findChild<QLineEdit *>(QStringLiteral("lineEdit"));
        QCOMPARE(field->text(), QStringLiteral("1600"));
        const int savesBefore = accountSaves(m_fixture, Alice);
        page.show();
        field->clear();
        QTest::keyClicks(field, typed);
        QTest::mouseClick(page.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
        QCOMPARE(storedPort(), stored);
        QTRY_COMPARE(accountSaves(m_fixture, Alice), savesBefore + (stored == "1600" ? 0 : 1));
        // A refusal says so and names the ports that would do.
        auto *message = page.findChild<QLabel *>(QStringLiteral("portMessage"));
        const bool refused = stored == "1600";
        QCOMPARE(message->isVisible(), refused);
        if (refused)
            QVERIFY2(message->text().contains(QLatin1String("from 1 to 65535")), qPrintable(message->text()));
        if (typed == QLatin1String("70000")) {
            QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
            QVERIFY(page.grab().save(QStringLiteral(SCREENSHOT_FOLDER "/settings-port-refused.png")));
        }
    }

    void unsetPortShowsDefault()
    {
        MainClass::instance()->getAccount()->settingsData->setSetting(QStringLiteral("servers/tcpport"), "");
        uiMainSettings page;
        page.loadSettings();
        QCOMPARE(page.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->text(), QStringLiteral("1500"));
    }

private:
    WindowFixture m_fixture;
};

WIVORA_TEST_MAIN(tst_SettingsDialog)
#include "tst_SettingsDialog.moc"
